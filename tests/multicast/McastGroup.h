// Members of one multicast group in one host firmware: each member is its own
// UDP4 controller with its own address and its own child, all on one
// simulated network with the server. Header-only so that the benchmark and
// the fuzz target can drive groups the same way the tests do.
#pragma once

#include "tests/common/DriverHost.h"

#include "tests/common/InstanceProbe.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zem4::test::mcast {

using Bytes = std::vector<uint8_t>;

inline constexpr host::Ipv4 kServer{127, 0, 9, 1};
inline constexpr host::Time100ns kMs = 10'000;
inline constexpr host::Time100ns kSecond = 10'000'000;
inline constexpr size_t kBlock = 1032;

// Member i sits at 127.0.9.(10 + i).
inline host::Ipv4 MemberAddress(size_t index) {
  return host::Ipv4(127, 0, 9, static_cast<uint8_t>(10 + index));
}

inline uint32_t BlocksOf(size_t size) {
  return static_cast<uint32_t>(size / kBlock + 1);
}

// A Buffer caller may also give a CheckPacket, which then sees every run
// that went into the buffer: each block once.
enum class Caller { Buffer, Stream, BufferAndCheck };

struct Member {
  size_t index = 0;
  host::Ipv4 address;
  Caller caller = Caller::Buffer;
  bool multicast = true;
  EFI_HANDLE controller = nullptr;
  EFI_HANDLE child = nullptr;
  Zem4 *proto = nullptr;
  std::string file;
  std::string multicastName = "multicast", multicastValue = "1", tsizeName = "tsize",
              tsizeValue = "0";
  Zem4Option options[2]{};
  Zem4Token token{};
  EFI_EVENT event = nullptr;
  int signalled = 0;
  host::Time100ns doneAt = 0;
  Bytes buffer;       // Buffer callers: room for the file and one guard byte
  Bytes streamed;     // Stream callers: every run handed over, in order
  size_t checked = 0; // BufferAndCheck callers: bytes seen by CheckPacket
  size_t runs = 0;
  bool started = false;
  bool destroyed = false;

  bool Done() const { return signalled > 0 || destroyed; }
  InstanceProbe Probe() const { return InstanceProbe(proto); }
  std::string Name() const {
    return "member " + std::to_string(index) + " (" + address.ToString() +
           (caller == Caller::Stream   ? ", stream)"
            : caller == Caller::Buffer ? ", buffer)"
                                       : ", buffer+check)");
  }
};

class Group {
public:
  explicit Group(DriverHost &host) : host_(host) {}
  ~Group() { Release(); }
  Group(const Group &) = delete;
  Group &operator=(const Group &) = delete;

  std::vector<std::unique_ptr<Member>> &Members() { return members_; }
  Member &operator[](size_t i) { return *members_.at(i); }

  // A new controller at the member's address, connected, with one child
  // configured for the server. Null when any step fails.
  Member *Add(Caller caller, const std::string &file, size_t fileSize, bool multicast = true) {
    const size_t index = members_.size();
    EFI_HANDLE controller = host_.AddController(MemberAddress(index));
    if (EFI_ERROR(host_.Connect(controller))) {
      return nullptr;
    }
    return Make(controller, MemberAddress(index), caller, file, fileSize, multicast);
  }

  // Another child on the controller of `on`, at the same address.
  Member *AddOn(const Member &on, Caller caller, const std::string &file, size_t fileSize,
                bool multicast = true) {
    return Make(on.controller, on.address, caller, file, fileSize, multicast);
  }

  // ReadFile with an event: the member returns at once and runs in ticks.
  EFI_STATUS Start(Member &m) {
    EFI_BOOT_SERVICES *bs = host_.Fw().BootServices();
    if (m.event == nullptr) {
      EFI_STATUS status = bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnDone, &m, &m.event);
      if (EFI_ERROR(status)) {
        return status;
      }
    }
    m.token = Zem4Token{};
    m.token.Event = m.event;
    m.token.Filename = reinterpret_cast<CHAR8 *>(m.file.data());
    m.options[0] = {reinterpret_cast<CHAR8 *>(m.tsizeName.data()),
                    reinterpret_cast<CHAR8 *>(m.tsizeValue.data())};
    m.options[1] = {reinterpret_cast<CHAR8 *>(m.multicastName.data()),
                    reinterpret_cast<CHAR8 *>(m.multicastValue.data())};
    m.token.OptionCount = m.multicast ? 2 : 1;
    m.token.OptionList = m.options;
    m.token.Context = &m;
    if (m.caller != Caller::Stream) {
      m.token.Buffer = m.buffer.data();
      m.token.BufferSize = m.buffer.size();
    }
    if (m.caller != Caller::Buffer) {
      m.token.CheckPacket = Collect;
    }
    m.started = true;
    return m.proto->ReadFile(m.proto, &m.token);
  }

  // Destroys the member's child through the service binding.
  EFI_STATUS Destroy(Member &m) {
    EFI_STATUS status = host_.DestroyChild(m.controller, m.child);
    if (!EFI_ERROR(status)) {
      m.destroyed = true;
    }
    return status;
  }

  bool AllDone() const {
    for (const auto &m : members_) {
      if (m->started && !m->Done()) {
        return false;
      }
    }
    return true;
  }

  bool RunUntilDone(host::Time100ns limit) {
    return host_.RunUntil([&] { return AllDone(); }, limit);
  }

  // What differs between what the member holds and `file`; empty when it
  // holds exactly the file (and nothing past it).
  static std::string Compare(const Member &m, const Bytes &file) {
    const Bytes *got = &m.streamed;
    Bytes clipped;
    if (m.caller != Caller::Stream) {
      if (m.caller == Caller::BufferAndCheck && m.checked != file.size()) {
        return m.Name() + ": CheckPacket saw " + std::to_string(m.checked) + " bytes of " +
               std::to_string(file.size());
      }
      if (m.buffer.size() != file.size() + 1) {
        return m.Name() + ": buffer of the wrong size";
      }
      if (m.buffer.back() != 0xEE) {
        return m.Name() + ": written past the end of the file";
      }
      clipped.assign(m.buffer.begin(), m.buffer.end() - 1);
      got = &clipped;
    }
    if (got->size() != file.size()) {
      return m.Name() + ": " + std::to_string(got->size()) + " bytes instead of " +
             std::to_string(file.size());
    }
    for (size_t i = 0; i < file.size(); i++) {
      if ((*got)[i] != file[i]) {
        return m.Name() + ": first wrong byte at " + std::to_string(i) + " (block " +
               std::to_string(i / kBlock + 1) + ")";
      }
    }
    return {};
  }

  // Children destroyed, events closed: before the host's teardown.
  void Release() {
    for (auto &m : members_) {
      if (m->child != nullptr && !m->destroyed && host_.Loaded() &&
          host_.ServiceBinding(m->controller) != nullptr) {
        Destroy(*m);
      }
      if (m->event != nullptr && host_.Fw().IsEvent(m->event)) {
        host_.Fw().BootServices()->CloseEvent(m->event);
      }
      m->event = nullptr;
    }
  }

private:
  Member *Make(EFI_HANDLE controller, host::Ipv4 address, Caller caller, const std::string &file,
               size_t fileSize, bool multicast) {
    auto m = std::make_unique<Member>();
    m->index = members_.size();
    m->address = address;
    m->caller = caller;
    m->multicast = multicast;
    m->file = file;
    m->controller = controller;
    if (EFI_ERROR(host_.CreateChild(m->controller, &m->child))) {
      return nullptr;
    }
    m->proto = host_.Protocol(m->child);
    if (m->proto == nullptr) {
      return nullptr;
    }
    Zem4ConfigData config{};
    config.StationIp = EfiIp(m->address);
    config.ServerIp = EfiIp(kServer);
    config.SubnetMask = {{255, 0, 0, 0}};
    if (EFI_ERROR(m->proto->Configure(m->proto, &config))) {
      return nullptr;
    }
    if (caller != Caller::Stream) {
      m->buffer.assign(fileSize + 1, 0xEE);
    }
    members_.push_back(std::move(m));
    return members_.back().get();
  }

  static VOID EFIAPI OnDone(EFI_EVENT, VOID *context) {
    auto *m = static_cast<Member *>(context);
    m->signalled++;
    if (host::Firmware *fw = host::Firmware::Current()) {
      m->doneAt = fw->Now();
    }
  }
  static EFI_STATUS EFIAPI Collect(Zem4 *, Zem4Token *token, UINT32 length, VOID *data) {
    auto *m = static_cast<Member *>(token->Context);
    const auto *bytes = static_cast<const uint8_t *>(data);
    if (m->caller == Caller::Stream) {
      m->streamed.insert(m->streamed.end(), bytes, bytes + length);
    } else {
      m->checked += length;
    }
    m->runs++;
    return EFI_SUCCESS;
  }

  DriverHost &host_;
  std::vector<std::unique_ptr<Member>> members_;
};

} // namespace zem4::test::mcast
