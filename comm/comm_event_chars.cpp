#include "comm/comm_event_chars.h"

#include "comm/thread_comm.h"

namespace odu {

TCommEventChars::TCommEventChars(TThreadComm* owner) : owner_(owner) {}

void TCommEventChars::SetEventChar(int index, uint8_t value) {
  switch (index) {
    case 1: xon_ = value; break;
    case 2: xoff_ = value; break;
    case 3: error_ = value; break;
    case 4: eof_ = value; break;
    case 5: evt_ = value; break;
    default: break;
  }
  if (owner_) owner_->UpdateDataControlBlock();
}

void TCommEventChars::CopyFrom(const platform::TPersistent& source) {
  if (const auto* chars = dynamic_cast<const TCommEventChars*>(&source)) {
    xon_ = chars->xon_;
    xoff_ = chars->xoff_;
    error_ = chars->error_;
    eof_ = chars->eof_;
    evt_ = chars->evt_;
    return;
  }
  platform::TPersistent::CopyFrom(source);
}

}  // namespace odu
