// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/status.h"

namespace platform {

// A block device came, went or changed (a stick plugged in, a card taken out).
struct DeviceEvent {
  std::string action;      // "add", "remove", "change", ...
  std::string devicePath;  // "/dev/sdb1"; empty when the event names none
  std::string deviceType;  // "disk" or "partition"
};

// Watches the block subsystem through libudev: the udev daemon's events, or
// the kernel's own when no udev daemon runs (a container). Two ways to use
// it, not both at once:
//  - Start(callback): a thread of the monitor's own calls callback for each
//    event; Stop (or the destructor) ends and joins it. The callback must not
//    call Stop.
//  - Open(), then watch Descriptor() for readability (a Qt socket notifier)
//    and call Receive() on that thread until it returns false.
// Move-less; the object owns its udev handles and descriptors.
class CDeviceMonitor {
 public:
  using Callback = std::function<void(const DeviceEvent&)>;

  CDeviceMonitor();
  ~CDeviceMonitor();
  CDeviceMonitor(const CDeviceMonitor&) = delete;
  CDeviceMonitor& operator=(const CDeviceMonitor&) = delete;

  // 0, or why no monitor could be made (kErrorNotSupported without netlink).
  [[nodiscard]] Status Open();
  [[nodiscard]] Status Start(Callback callback);
  void Stop();

  // Readable when events wait; -1 before Open. Owned by the monitor.
  int Descriptor() const;
  // Takes one waiting event without blocking; false when none waits.
  bool Receive(DeviceEvent* event);

 private:
  struct Handles;
  void Run();
  std::unique_ptr<Handles> m_handles;
  Callback m_callback;
  std::thread m_thread;
};

}  // namespace platform
