// SPDX-License-Identifier: GPL-3.0-or-later
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/device_monitor.h"
#include "platform/error.h"
#include "platform/folders.h"

namespace platform {

struct CDeviceMonitor::Handles {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  int stopFd = -1;  // an eventfd that wakes the monitor's thread
  ~Handles() {
    if (monitor != nullptr) udev_monitor_unref(monitor);
    if (context != nullptr) udev_unref(context);
    if (stopFd >= 0) ::close(stopFd);
  }
};

CDeviceMonitor::CDeviceMonitor() = default;

CDeviceMonitor::~CDeviceMonitor() {
  Stop();
}

Status CDeviceMonitor::Open() {
  if (m_handles) return kStatusOk;
  auto handles = std::make_unique<Handles>();
  handles->context = udev_new();
  if (handles->context == nullptr) return kStatusOutOfMemory;
  // Without a udev daemon nobody forwards events on the "udev" group: listen to the kernel.
  const char* source = PathExists("/run/udev/control") ? "udev" : "kernel";
  handles->monitor = udev_monitor_new_from_netlink(handles->context, source);
  if (handles->monitor == nullptr) return kErrorNotSupported;
  if (udev_monitor_filter_add_match_subsystem_devtype(handles->monitor, "block", nullptr) < 0 ||
      udev_monitor_enable_receiving(handles->monitor) < 0) {
    return kErrorNotSupported;
  }
  m_handles = std::move(handles);
  return kStatusOk;
}

Status CDeviceMonitor::Start(Callback callback) {
  if (m_thread.joinable()) return kErrorBusy;
  if (Status s = Open(); s != kStatusOk) return s;
  m_handles->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_handles->stopFd < 0) return LastError();
  m_callback = std::move(callback);
  m_thread = std::thread([this] { Run(); });
  return kStatusOk;
}

void CDeviceMonitor::Stop() {
  if (m_thread.joinable()) {
    const uint64_t one = 1;
    if (::write(m_handles->stopFd, &one, sizeof one) < 0) {
      // An eventfd write fails only when its counter is full, which still wakes the thread.
    }
    m_thread.join();
  }
  m_handles.reset();
}

int CDeviceMonitor::Descriptor() const {
  return m_handles ? udev_monitor_get_fd(m_handles->monitor) : -1;
}

bool CDeviceMonitor::Receive(DeviceEvent* event) {
  if (!m_handles) return false;
  pollfd ready{udev_monitor_get_fd(m_handles->monitor), POLLIN, 0};
  if (::poll(&ready, 1, 0) <= 0) return false;
  udev_device* device = udev_monitor_receive_device(m_handles->monitor);
  if (device == nullptr) return false;
  auto text = [](const char* t) { return t != nullptr ? std::string(t) : std::string(); };
  event->action = text(udev_device_get_action(device));
  event->devicePath = text(udev_device_get_devnode(device));
  event->deviceType = text(udev_device_get_devtype(device));
  udev_device_unref(device);
  return true;
}

void CDeviceMonitor::Run() {
  pollfd fds[2] = {{udev_monitor_get_fd(m_handles->monitor), POLLIN, 0}, {m_handles->stopFd, POLLIN, 0}};
  for (;;) {
    fds[0].revents = fds[1].revents = 0;
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    DeviceEvent event;
    while (Receive(&event)) {
      if (m_callback) m_callback(event);
    }
  }
}

}  // namespace platform
