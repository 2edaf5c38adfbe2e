// Fuzz target: the registry walk that lists serial ports on Windows, over
// in-memory registries built from the input.
//
// Input: byte 0 chooses the version query's answer (platform id in its low
// two bits, bit 2 makes the query fail), byte 1 the major version; then
// operations, one selector byte each, that build a tree at the paths the
// three layouts read: keys, values with any name, type and data (also longer
// than the walk's buffers, text without a terminating zero), sub-key
// enumerations and key queries that fail, and whole 9x devices, SERIALCOMM
// values and NT device-tree instances whose names come from a small
// dictionary or from the input.
//
// Whatever the tree: every key opened is closed, no handle is used that is
// not open, the list is only appended to, each name has no embedded zero and
// at most 512 bytes, and a second walk over the same tree gives the same list.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "comm/enum_serial_ports.h"
#include "platform/registry/registry_memory.h"
#include "tests/support/fuzz_require.h"

namespace {

using odu::platform::MemoryRegistry;

void Require(bool condition, const char* what) { odu::testing::RequireOf("registry walk", condition, what); }

// Reads the input front to back; past its end every byte reads as 0. Each
// read is a statement of its own (never two in one call's arguments), so that
// an input means the same tree whatever the compiler's evaluation order.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::vector<uint8_t> Bytes(size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }
  template <size_t N>
  const char* Pick(const char* const (&words)[N]) {
    return words[Byte() % N];
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

const char* const kKeyWords[] = {"Config Manager", "Enum", "0001", "ROOT", "PORTS", "0000", "ACPI", "PNP0501",
                                 "0", "Device Parameters", "", "a\\b", "SERIALCOMM", "SYSTEM"};
const char* const kValueWords[] = {"HardWareKey", "hardwarekey", "Class", "CLASS", "PORTNAME", "PortName",
                                   "portname", "Service", "SERIAL0", "Serial1", "SERIAL2", "", "Status"};
const char* const kTextWords[] = {"Ports", "PORTS", "ports", "Modem", "COM1", "COM4", "MODEM", "OPORT", "LPT1",
                                  "Serial", "SER2PL", "serial", "Ser2pl", "ROOT\\PORTS\\0000", "", "C"};
// Lengths around the walk's limits: value names below 512, data up to 512,
// key names below 1024.
const size_t kLongLengths[] = {510, 511, 512, 513, 1022, 1023, 1024, 1025, 2048};
const odu::platform::RegResult kFailures[] = {
    odu::platform::kRegNoMoreItems, odu::platform::kRegMoreData, odu::platform::kRegAccessDenied,
    odu::platform::kRegNotFound, odu::platform::kRegInvalidHandle};

std::string AsText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A name or a text: a dictionary word, bytes of the input, or a long run of one byte.
template <size_t N>
std::string Text(Input& in, const char* const (&words)[N]) {
  switch (in.Byte() % 4) {
    case 0: return in.Pick(words);
    case 1: return AsText(in.Bytes(in.Byte()));
    case 2: {
      const size_t length = kLongLengths[in.Byte() % std::size(kLongLengths)];
      return std::string(length, static_cast<char>(in.Byte()));
    }
    default: return AsText(in.Bytes(in.Byte() % 16));
  }
}

std::vector<uint8_t> Data(Input& in) {
  const uint8_t mode = in.Byte();
  std::vector<uint8_t> data;
  if (mode % 3 == 0) {
    const std::string text = Text(in, kTextWords);
    data.assign(text.begin(), text.end());  // no terminating zero
  } else if (mode % 3 == 1) {
    data = in.Bytes(in.Byte());
  } else {
    const size_t length = kLongLengths[in.Byte() % std::size(kLongLengths)];
    data.assign(length, in.Byte());
  }
  if (mode & 0x80) data.push_back(0);
  return data;
}

class Builder {
 public:
  Builder(MemoryRegistry& reg, Input& in) : reg_(reg), in_(in) {}

  void Run() {
    for (int ops = 0; ops < 256 && !in_.done(); ++ops) Operation();
  }
  size_t entries() const { return entries_; }

 private:
  // The keys the walks start from, created when first used.
  enum Anchor { kConfigManagerEnum, kHardwareEnum, kSerialComm, kDeviceTree, kDynDataRoot, kMachineRoot, kAnchors };

  MemoryRegistry::Key& AnchorKey(int anchor) {
    if (!anchors_[anchor]) {
      using odu::platform::kHkeyDynData;
      using odu::platform::kHkeyLocalMachine;
      switch (anchor) {
        case kConfigManagerEnum: anchors_[anchor] = &reg_.CreateKey(kHkeyDynData, "Config Manager\\Enum"); break;
        case kHardwareEnum: anchors_[anchor] = &reg_.CreateKey(kHkeyLocalMachine, "Enum"); break;
        case kSerialComm: anchors_[anchor] = &reg_.CreateKey(kHkeyLocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM"); break;
        case kDeviceTree: anchors_[anchor] = &reg_.CreateKey(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet\\Enum"); break;
        case kDynDataRoot: anchors_[anchor] = &reg_.Root(kHkeyDynData); break;
        default: anchors_[anchor] = &reg_.Root(kHkeyLocalMachine); break;
      }
      ++entries_;
    }
    return *anchors_[anchor];
  }

  MemoryRegistry::Key& PickKey() {
    const size_t index = in_.Byte() % (kAnchors + keys_.size());
    if (index < kAnchors) return AnchorKey(static_cast<int>(index));
    return *keys_[index - kAnchors];
  }

  MemoryRegistry::Key& NewSubKey(MemoryRegistry::Key& parent, const std::string& name) {
    MemoryRegistry::Key& key = parent.SubKey(name);
    keys_.push_back(&key);
    ++entries_;
    return key;
  }

  void AddValue(MemoryRegistry::Key& key, std::string name, std::vector<uint8_t> data) {
    const uint8_t type = in_.Byte();
    key.AddValue(std::move(name), type < 250 ? type % 5u : type, std::move(data));
    ++entries_;
  }

  void Operation() {
    switch (in_.Byte() % 8) {
      case 0: {
        MemoryRegistry::Key& parent = PickKey();
        NewSubKey(parent, Text(in_, kKeyWords));
        break;
      }
      case 1: {
        MemoryRegistry::Key& key = PickKey();
        std::string name = Text(in_, kValueWords);
        AddValue(key, std::move(name), Data(in_));
        break;
      }
      case 2: {
        MemoryRegistry::Key& key = PickKey();
        std::string name = Text(in_, kValueWords);
        key.AddString(std::move(name), Text(in_, kTextWords));
        ++entries_;
        break;
      }
      case 3: {
        MemoryRegistry::Key& key = PickKey();
        const uint32_t index = in_.Byte() % 8u;
        key.FailEnumKeyAt(index, kFailures[in_.Byte() % std::size(kFailures)]);
        break;
      }
      case 4: {
        MemoryRegistry::Key& key = PickKey();
        key.FailQueryInfo(kFailures[in_.Byte() % std::size(kFailures)]);
        break;
      }
      case 5: {  // a 9x device and the hardware key it points at
        MemoryRegistry::Key& device = NewSubKey(AnchorKey(kConfigManagerEnum), Text(in_, kKeyWords));
        const std::string hardware_key = Text(in_, kTextWords);
        device.AddString(in_.Byte() & 1 ? "HardWareKey" : Text(in_, kValueWords), hardware_key);
        ++entries_;
        if (hardware_key.empty()) break;
        MemoryRegistry::Key& hardware = reg_.CreateKey(odu::platform::kHkeyLocalMachine, "Enum\\" + hardware_key);
        keys_.push_back(&hardware);
        ++entries_;
        hardware.AddString("Class", Text(in_, kTextWords));
        ++entries_;
        std::string name = in_.Byte() & 1 ? "PORTNAME" : Text(in_, kValueWords);
        AddValue(hardware, std::move(name), Data(in_));
        break;
      }
      case 6: {  // an NT device-tree instance, three levels down
        MemoryRegistry::Key& enumerator = NewSubKey(AnchorKey(kDeviceTree), Text(in_, kKeyWords));
        MemoryRegistry::Key& device = NewSubKey(enumerator, Text(in_, kKeyWords));
        MemoryRegistry::Key& instance = NewSubKey(device, Text(in_, kKeyWords));
        instance.AddString("Service", Text(in_, kTextWords));
        ++entries_;
        MemoryRegistry::Key& parameters = NewSubKey(instance, "Device Parameters");
        std::string name = in_.Byte() & 1 ? "PortName" : Text(in_, kValueWords);
        AddValue(parameters, std::move(name), Data(in_));
        break;
      }
      default: {  // a SERIALCOMM value
        const uint8_t n = in_.Byte();
        std::string name = n & 0x80 ? Text(in_, kValueWords) : "SERIAL" + std::to_string(n % 6);
        AddValue(AnchorKey(kSerialComm), std::move(name), Data(in_));
        break;
      }
    }
  }

  MemoryRegistry& reg_;
  Input& in_;
  MemoryRegistry::Key* anchors_[kAnchors] = {};
  std::vector<MemoryRegistry::Key*> keys_;
  size_t entries_ = 0;
};

std::vector<std::string> Walk(MemoryRegistry& reg) {
  std::vector<std::string> list = {"(already listed)"};
  odu::EnumSerialPorts(reg, list);
  Require(!list.empty() && list[0] == "(already listed)", "the walk changed what was listed before it");
  Require(reg.OpenHandles() == 0, "a key is left open");
  Require(reg.InvalidHandleUses() == 0, "a handle was used that is not open");
  list.erase(list.begin());
  for (const std::string& name : list) {
    Require(name.find('\0') == std::string::npos, "a listed name holds a zero");
    Require(name.size() <= 512, "a listed name is longer than 512 bytes");
  }
  return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  MemoryRegistry reg;
  const uint8_t version = in.Byte();
  const uint8_t major = in.Byte();
  const uint32_t platform_id = version & 3u;
  const bool query_succeeds = (version & 4u) == 0;
  reg.SetVersion(platform_id, major < 200 ? major % 12u : major, query_succeeds);

  Builder builder(reg, in);
  builder.Run();

  const std::vector<std::string> first = Walk(reg);
  if (!query_succeeds || (platform_id != 1 && platform_id != 2)) {
    Require(first.empty(), "ports listed for a system of no known family");
  }
  Require(first.size() <= builder.entries(), "more ports listed than entries in the registry");
  Require(Walk(reg) == first, "a second walk over the same registry lists other ports");
  return 0;
}
