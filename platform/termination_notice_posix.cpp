// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/termination_notice.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <initializer_list>

namespace platform {
namespace {

int g_writeEnd = -1;

void OnTerminationSignal(int signal) {
  const unsigned char byte = static_cast<unsigned char>(signal);
  // Nothing can be done about a full pipe here: a notice is already waiting.
  const ssize_t written = ::write(g_writeEnd, &byte, 1);
  (void)written;
}

}  // namespace

int InstallTerminationNotice() {
  if (g_writeEnd >= 0) return -1;
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  g_writeEnd = ends[1];
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGTERM, SIGHUP, SIGINT}) sigaction(signal, &action, nullptr);
  return ends[0];
}

int TakeTerminationNotice(int fd) {
  unsigned char byte = 0;
  int signal = 0;
  while (::read(fd, &byte, 1) == 1) signal = byte;
  return signal;
}

}  // namespace platform
