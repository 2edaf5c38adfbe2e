// The five special characters of the port's line state, as properties that
// rewrite the line state of the owning port when they change.
#pragma once

#include <cstdint>

#include "platform/toolkit/toolkit.h"

namespace odu {

class TThreadComm;

class TCommEventChars : public platform::TPersistent {
 public:
  explicit TCommEventChars(TThreadComm* owner);

  uint8_t XOnChar() const { return xon_; }
  uint8_t XOffChar() const { return xoff_; }
  uint8_t ErrorChar() const { return error_; }
  uint8_t EofChar() const { return eof_; }
  uint8_t EvtChar() const { return evt_; }
  void SetXOnChar(uint8_t c) { SetEventChar(1, c); }
  void SetXOffChar(uint8_t c) { SetEventChar(2, c); }
  void SetErrorChar(uint8_t c) { SetEventChar(3, c); }
  void SetEofChar(uint8_t c) { SetEventChar(4, c); }
  void SetEvtChar(uint8_t c) { SetEventChar(5, c); }

  // Index 1 to 5: XOn, XOff, Error, Eof, Evt; any other index stores
  // nothing. Then the owner rewrites its line state (while it is open).
  void SetEventChar(int index, uint8_t value);
  // From another set of event characters: copies the five, no device call.
  void CopyFrom(const platform::TPersistent& source) override;

 private:
  TThreadComm* owner_;
  uint8_t xon_ = 17;
  uint8_t xoff_ = 19;
  uint8_t error_ = 0;
  uint8_t eof_ = 0;
  uint8_t evt_ = 0;
};

}  // namespace odu
