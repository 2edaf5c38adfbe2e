#include "platform/serial/network/serial_network.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "platform/serial/comm_timeouts.h"

namespace odu::platform {

namespace {

using namespace telnet;
using std::chrono::milliseconds;

// Negotiation answers and line commands are a few bytes: they either go at
// once or the connection is as good as gone.
constexpr milliseconds kControlSendTimeout{2000};
// A write whose timeouts are both 0 has no limit; this stands for it.
constexpr milliseconds kNoLimit{24LL * 3600 * 1000};

bool Fail(uint32_t code) {
  SetLastError(code);
  return false;
}

uint8_t ParityValue(uint8_t parity) {
  switch (parity) {
    case ODDPARITY: return 2;
    case EVENPARITY: return 3;
    case MARKPARITY: return 4;
    case SPACEPARITY: return 5;
    default: return 1;
  }
}

uint8_t StopSizeValue(uint8_t stop_bits) {
  switch (stop_bits) {
    case TWOSTOPBITS: return 2;
    case ONE5STOPBITS: return 3;
    default: return 1;
  }
}

uint8_t FlowValue(const Dcb& dcb) {
  if (dcb.fOutxCtsFlow) return kControlHardware;
  if (dcb.fOutX || dcb.fInX) return kControlXonXoff;
  return kControlNoFlow;
}

// The options this client takes up when the server offers or asks.
bool LocalOptionWanted(uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPortOption;
}
bool RemoteOptionWanted(uint8_t option) { return option == kBinary || option == kSuppressGoAhead; }

}  // namespace

NetworkSerialDevice::NetworkSerialDevice(NetworkPortName::Kind kind, std::unique_ptr<TcpSocket> socket)
    : kind_(kind), socket_(std::move(socket)) {
  dcb_.BaudRate = 9600;
  dcb_.ByteSize = 8;
}

NetworkSerialDevice::~NetworkSerialDevice() { Close(); }

DeviceHandle NetworkSerialDevice::Open(const NetworkPortName& name, const NetworkTimeouts& timeouts) {
  std::unique_ptr<TcpSocket> socket = ConnectTcp(name.host, name.port, timeouts.connect);
  if (!socket) return nullptr;
  std::shared_ptr<NetworkSerialDevice> device(new (std::nothrow) NetworkSerialDevice(name.kind, std::move(socket)));
  if (!device) {
    SetLastError(error::kNotEnoughMemory);
    return nullptr;
  }
  if (!device->Negotiate(timeouts)) {
    const uint32_t code = GetLastError();
    device->Close();
    SetLastError(code);
    return nullptr;
  }
  return device;
}

bool NetworkSerialDevice::Negotiate(const NetworkTimeouts& timeouts) {
  std::vector<uint8_t> offer;
  if (Telnet()) {
    for (uint8_t option : {kBinary, kSuppressGoAhead}) {
      AppendNegotiation(offer, WILL, option);
      AppendNegotiation(offer, DO, option);
      local_on_[option] = remote_on_[option] = true;
    }
    AppendNegotiation(offer, WILL, kComPortOption);
    local_on_[kComPortOption] = true;
  }
  try {
    reader_ = std::thread([this] { ReaderLoop(); });
  } catch (const std::system_error&) {
    return Fail(error::kNotEnoughMemory);
  }
  if (!Telnet()) return true;  // a raw stream has no lines to learn
  if (!SendEncoded(offer, kControlSendTimeout)) return false;

  std::unique_lock lock(mu_);
  const auto taken = [this] { return com_port_taken_ || com_port_refused_ || gone_; };
  if (!changed_.wait_for(lock, timeouts.negotiation, taken)) return Fail(error::kSemTimeout);
  if (gone_) return Fail(kDeviceGoneError);
  if (com_port_refused_) return Fail(error::kNotSupported);
  lock.unlock();

  // Ask for changes of the four input lines and of the line errors.
  if (!SendComPort(kSetModemStateMask, kModemCd | kModemRing | kModemDsr | kModemCts) ||
      !SendComPort(kSetLineStateMask, kLineOverrun | kLineParity | kLineFraming | kLineBreak)) {
    return false;
  }
  // Servers report the lines when the mask is set; until then they would
  // read as all low, and the carrier test depends on them.
  lock.lock();
  changed_.wait_for(lock, timeouts.modem_state, [this] { return modem_known_ || gone_; });
  if (gone_) return Fail(kDeviceGoneError);
  return true;
}

void NetworkSerialDevice::ReaderLoop() {
  uint8_t buffer[4096];
  for (;;) {
    const long n = socket_->Receive(buffer, sizeof buffer);
    if (n <= 0) break;
    if (Telnet()) {
      decoder_.Feed(buffer, static_cast<size_t>(n), *this);
    } else {
      OnData(buffer, static_cast<size_t>(n));
    }
  }
  std::lock_guard lock(mu_);
  gone_ = true;
  changed_.notify_all();
}

bool NetworkSerialDevice::SendEncoded(const std::vector<uint8_t>& bytes, milliseconds timeout) {
  std::lock_guard send(send_mu_);
  if (socket_->Send(bytes.data(), bytes.size(), timeout) == bytes.size()) return true;
  // A connection that cannot take a few bytes of control is lost to us.
  const uint32_t code = GetLastError();
  return Fail(code == error::kSemTimeout ? code : kDeviceGoneError);
}

bool NetworkSerialDevice::SendComPort(uint8_t command, const uint8_t* value, size_t size) {
  std::vector<uint8_t> bytes;
  AppendComPort(bytes, command, value, size);
  return SendEncoded(bytes, kControlSendTimeout);
}

bool NetworkSerialDevice::Usable() const {
  if (closed_) return Fail(error::kInvalidHandle);
  if (gone_) return Fail(kDeviceGoneError);
  return true;
}

bool NetworkSerialDevice::SetupComm(uint32_t in_queue, uint32_t) {
  std::lock_guard lock(mu_);
  if (!Usable()) return false;
  if (in_queue == 0) return Fail(error::kInvalidParameter);
  in_queue_ = in_queue;
  return true;
}

bool NetworkSerialDevice::GetCommState(Dcb& dcb) {
  std::lock_guard lock(mu_);
  if (!Usable()) return false;
  dcb = dcb_;
  return true;
}

bool NetworkSerialDevice::SetCommState(const Dcb& dcb) {
  std::unique_lock lock(mu_);
  if (!Usable()) return false;
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
      dcb.StopBits > TWOSTOPBITS) {
    return Fail(error::kInvalidParameter);
  }
  const Dcb before = dcb_;
  const bool all = !dcb_sent_;
  dcb_ = dcb;
  dcb_sent_ = true;
  lock.unlock();
  if (!Telnet()) return true;
  // Only what changed goes out, all of it the first time.
  bool ok = true;
  if (all || dcb.BaudRate != before.BaudRate) {
    const uint8_t baud[4] = {static_cast<uint8_t>(dcb.BaudRate >> 24), static_cast<uint8_t>(dcb.BaudRate >> 16),
                             static_cast<uint8_t>(dcb.BaudRate >> 8), static_cast<uint8_t>(dcb.BaudRate)};
    ok = ok && SendComPort(kSetBaudRate, baud, sizeof baud);
  }
  if (all || dcb.ByteSize != before.ByteSize) ok = ok && SendComPort(kSetDataSize, dcb.ByteSize);
  if (all || dcb.Parity != before.Parity) ok = ok && SendComPort(kSetParity, ParityValue(dcb.Parity));
  if (all || dcb.StopBits != before.StopBits) ok = ok && SendComPort(kSetStopSize, StopSizeValue(dcb.StopBits));
  if (all || FlowValue(dcb) != FlowValue(before)) ok = ok && SendComPort(kSetControl, FlowValue(dcb));
  return ok;
}

bool NetworkSerialDevice::SetCommTimeouts(const CommTimeouts& timeouts) {
  std::lock_guard lock(mu_);
  if (!Usable()) return false;
  timeouts_ = timeouts;
  return true;
}

bool NetworkSerialDevice::SetCommMask(uint32_t mask) {
  std::lock_guard lock(mu_);
  if (!Usable()) return false;
  mask_ = mask;
  if (waiting_) mask_changed_ = true;
  changed_.notify_all();
  return true;
}

bool NetworkSerialDevice::WaitCommEvent(uint32_t& events) {
  events = 0;
  std::unique_lock lock(mu_);
  waiting_ = true;
  mask_changed_ = false;
  bool ok = false;
  for (;;) {
    if (closed_ || gone_ || cancelled_) {
      SetLastError(closed_ ? error::kInvalidHandle : cancelled_ ? error::kOperationAborted : kDeviceGoneError);
      break;
    }
    if (mask_changed_) {
      ok = true;  // a new mask completes the pending wait with no events
      break;
    }
    if (events_ & mask_) {
      events = events_ & mask_;
      events_ = 0;
      ok = true;
      break;
    }
    changed_.wait(lock);
  }
  waiting_ = false;
  mask_changed_ = false;
  return ok;
}

void NetworkSerialDevice::CancelWait() {
  std::lock_guard lock(mu_);
  cancelled_ = true;
  changed_.notify_all();
}

bool NetworkSerialDevice::ReadFile(void* buffer, uint32_t count, uint32_t& read) {
  read = 0;
  std::lock_guard serial(read_mu_);
  std::unique_lock lock(mu_);
  if (closed_) return Fail(error::kInvalidHandle);
  if (count == 0) return true;
  // Windows' timeouts, as on a local port (comm_timeouts.h).
  const ReadTimeouts rule = ReadTimeoutsFor(timeouts_, count);
  const bool immediate = rule.immediate;
  const bool first_bytes = rule.first_bytes;
  const SteadyClock::time_point deadline =
      rule.total_ms ? SteadyClock::now() + milliseconds(std::min<uint64_t>(*rule.total_ms, kNoLimit.count()))
                    : SteadyClock::time_point::max();
  SteadyClock::time_point last_byte{};
  auto* out = static_cast<uint8_t*>(buffer);
  rx_abort_ = false;

  for (;;) {
    if (closed_) return Fail(error::kInvalidHandle);
    if (rx_abort_) {
      rx_abort_ = false;
      return Fail(error::kOperationAborted);
    }
    bool got = false;
    while (read < count && !input_.empty()) {
      const uint8_t b = input_.front();
      input_.pop_front();
      got = true;
      if (b == 0 && dcb_.fNull) continue;
      out[read++] = b;
    }
    if (got) last_byte = SteadyClock::now();
    if (read == count) return true;
    // What came before the connection ended is read first.
    if (gone_) return Fail(kDeviceGoneError);
    if (immediate || (first_bytes && read > 0)) return true;
    SteadyClock::time_point until = deadline;
    if (read > 0 && rule.interval_ms) until = std::min(until, last_byte + milliseconds(*rule.interval_ms));
    if (SteadyClock::now() >= until) return true;
    if (until == SteadyClock::time_point::max()) {
      changed_.wait(lock);
    } else {
      changed_.wait_until(lock, until);
    }
  }
}

bool NetworkSerialDevice::WriteFile(const void* buffer, uint32_t count, uint32_t& written) {
  written = 0;
  std::lock_guard serial(write_mu_);
  std::unique_lock lock(mu_);
  if (!Usable()) return false;
  if (count == 0) return true;
  const std::optional<uint64_t> total = WriteTotalFor(timeouts_, count);
  const milliseconds limit = total ? milliseconds(std::min<uint64_t>(*total, kNoLimit.count())) : kNoLimit;
  const SteadyClock::time_point deadline = SteadyClock::now() + limit;
  // The server may ask for a pause (its own output is held up).
  if (!changed_.wait_until(lock, deadline, [this] { return !suspended_ || closed_ || gone_; })) return true;
  if (!Usable()) return false;
  lock.unlock();

  const auto* bytes = static_cast<const uint8_t*>(buffer);
  std::vector<uint8_t> encoded;
  if (Telnet()) {
    AppendData(encoded, bytes, count);
  } else {
    encoded.assign(bytes, bytes + count);
  }
  size_t sent;
  {
    std::lock_guard send(send_mu_);
    sent = socket_->Send(encoded.data(), encoded.size(), std::chrono::ceil<milliseconds>(deadline - SteadyClock::now()));
  }
  const uint32_t code = GetLastError();
  // Count the bytes that went whole: an IAC counts once both its halves went.
  size_t position = 0;
  while (written < count) {
    const size_t width = (Telnet() && bytes[written] == IAC) ? 2 : 1;
    if (position + width > sent) break;
    position += width;
    ++written;
  }
  lock.lock();
  if (written > 0) {
    events_ |= EV_TXEMPTY;
    changed_.notify_all();
  }
  if (sent == encoded.size()) return true;
  if (code == error::kSemTimeout) return true;  // the write timeout passed: what went is counted
  return Fail(closed_ ? error::kInvalidHandle : kDeviceGoneError);
}

bool NetworkSerialDevice::PurgeComm(uint32_t flags) {
  std::unique_lock lock(mu_);
  if (!Usable()) return false;
  if (flags & PURGE_RXCLEAR) input_.clear();
  if (flags & PURGE_RXABORT) {
    rx_abort_ = true;
    changed_.notify_all();
  }
  lock.unlock();
  if (!Telnet()) return true;
  const bool rx = flags & PURGE_RXCLEAR;
  const bool tx = flags & PURGE_TXCLEAR;
  if (!rx && !tx) return true;
  return SendComPort(kPurgeData, rx && tx ? kPurgeBoth : rx ? kPurgeReceive : kPurgeTransmit);
}

bool NetworkSerialDevice::ClearCommError(uint32_t& errors, ComStat& status) {
  std::lock_guard lock(mu_);
  errors = 0;
  status = ComStat{};
  if (!Usable()) return false;
  errors = errors_;
  errors_ = 0;
  status.cbInQue = static_cast<uint32_t>(input_.size());
  return true;
}

bool NetworkSerialDevice::EscapeCommFunction(uint32_t function) {
  {
    std::lock_guard lock(mu_);
    if (!Usable()) return false;
  }
  uint8_t control = 0;
  switch (function) {
    case SETDTR: control = kControlDtrOn; break;
    case CLRDTR: control = kControlDtrOff; break;
    case SETRTS: control = kControlRtsOn; break;
    case CLRRTS: control = kControlRtsOff; break;
    case SETBREAK: control = kControlBreakOn; break;
    case CLRBREAK: control = kControlBreakOff; break;
    case SETXON:
    case SETXOFF: return true;  // the server keeps its own software flow control
    default: return Fail(error::kInvalidParameter);
  }
  if (!Telnet()) return true;  // a raw stream has no lines to set
  return SendComPort(kSetControl, control);
}

bool NetworkSerialDevice::GetCommModemStatus(uint32_t& status) {
  std::lock_guard lock(mu_);
  status = 0;
  if (!Usable()) return false;
  // A raw stream reports CTS, DSR and carrier as present while it is connected.
  status = Telnet() ? (modem_ & (kModemCts | kModemDsr | kModemRing | kModemCd)) : (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  return true;
}

void NetworkSerialDevice::Close() {
  {
    std::lock_guard lock(mu_);
    if (closed_) return;
    closed_ = true;
    changed_.notify_all();
  }
  // A port that closes drops DTR and RTS, so the far end sees the tool leave.
  if (Telnet() && reader_.joinable()) {
    std::vector<uint8_t> bytes;
    AppendComPort(bytes, kSetControl, &kControlDtrOff, 1);
    AppendComPort(bytes, kSetControl, &kControlRtsOff, 1);
    std::lock_guard send(send_mu_);
    socket_->Send(bytes.data(), bytes.size(), kControlSendTimeout);
  }
  socket_->FinishSending();
  socket_->Interrupt();
  if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
}

// ---- the reader thread ----

void NetworkSerialDevice::OnData(const uint8_t* data, size_t size) {
  std::lock_guard lock(mu_);
  const size_t room = in_queue_ > input_.size() ? in_queue_ - input_.size() : 0;
  const size_t kept = std::min(room, size);
  input_.insert(input_.end(), data, data + kept);
  if (kept < size) {
    errors_ |= CE_RXOVER;  // the input queue is full: the rest is lost, as on a UART
    events_ |= EV_ERR;
  }
  if (kept > 0) {
    events_ |= EV_RXCHAR;
    if (std::find(data, data + kept, dcb_.EvtChar) != data + kept) events_ |= EV_RXFLAG;
  }
  changed_.notify_all();
}

std::vector<uint8_t> NetworkSerialDevice::Answer(uint8_t verb, uint8_t option) {
  std::vector<uint8_t> reply;
  switch (verb) {
    case DO:
      if (option == kComPortOption) {
        std::lock_guard lock(mu_);
        com_port_taken_ = true;
        changed_.notify_all();
      }
      if (local_on_[option]) break;  // agreed, or the answer to our offer
      if (LocalOptionWanted(option)) {
        local_on_[option] = true;
        AppendNegotiation(reply, WILL, option);
      } else {
        AppendNegotiation(reply, WONT, option);
      }
      break;
    case DONT:
      if (option == kComPortOption) {
        std::lock_guard lock(mu_);
        com_port_refused_ = !com_port_taken_;
        changed_.notify_all();
      }
      if (!local_on_[option]) break;
      local_on_[option] = false;
      AppendNegotiation(reply, WONT, option);
      break;
    case WILL:
      if (remote_on_[option]) break;
      if (RemoteOptionWanted(option)) {
        remote_on_[option] = true;
        AppendNegotiation(reply, DO, option);
      } else {
        AppendNegotiation(reply, DONT, option);
      }
      break;
    case WONT:
      if (!remote_on_[option]) break;
      remote_on_[option] = false;
      AppendNegotiation(reply, DONT, option);
      break;
    default:
      break;
  }
  return reply;
}

void NetworkSerialDevice::OnNegotiation(uint8_t verb, uint8_t option) {
  const std::vector<uint8_t> reply = Answer(verb, option);
  if (!reply.empty()) SendEncoded(reply, kControlSendTimeout);
}

void NetworkSerialDevice::OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t size, bool overlong) {
  // Only the server's COM port notifications matter here; acknowledgements
  // of settings and anything malformed or too long are dropped.
  if (option != kComPortOption || overlong || size < 2) return;
  std::lock_guard lock(mu_);
  switch (payload[0]) {
    case kServerOffset + kNotifyModemState: OnModemState(payload[1]); break;
    case kServerOffset + kNotifyLineState: OnLineState(payload[1]); break;
    case kServerOffset + 8: suspended_ = true; break;   // FLOWCONTROL-SUSPEND
    case kServerOffset + 9: suspended_ = false; break;  // FLOWCONTROL-RESUME
    default: return;
  }
  changed_.notify_all();
}

void NetworkSerialDevice::OnModemState(uint8_t state) {
  const uint8_t changed = modem_known_ ? static_cast<uint8_t>(modem_ ^ state) : 0;
  modem_ = state;
  modem_known_ = true;
  if (changed & kModemCts) events_ |= EV_CTS;
  if (changed & kModemDsr) events_ |= EV_DSR;
  if (changed & kModemCd) events_ |= EV_RLSD;
  if (changed & kModemRing) events_ |= EV_RING;
}

void NetworkSerialDevice::OnLineState(uint8_t state) {
  if (state & kLineOverrun) errors_ |= CE_OVERRUN;
  if (state & kLineParity) errors_ |= CE_RXPARITY;
  if (state & kLineFraming) errors_ |= CE_FRAME;
  if (state & kLineBreak) {
    errors_ |= CE_BREAK;
    events_ |= EV_BREAK;
  }
  if (state & (kLineOverrun | kLineParity | kLineFraming)) events_ |= EV_ERR;
}

DeviceHandle NetworkSerialOpener::Open(const std::string& name, OpenRefusal& /*refusal*/) {
  const std::optional<NetworkPortName> parsed = ParseNetworkPortName(name);
  if (!parsed) {
    SetLastError(error::kInvalidName);
    return nullptr;
  }
  return NetworkSerialDevice::Open(*parsed, timeouts_);
}

}  // namespace odu::platform
