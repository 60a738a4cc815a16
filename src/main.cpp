// SPDX-License-Identifier: MIT
#include <unistd.h>

#include <csignal>

#include "evwait.h"

namespace {

// A console whose reader has gone away must not end the run: the exit
// status is what the caller acts on, the lines are only for a person.
void IgnoreBrokenConsole() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace

int main(int /*argc*/, char** /*argv*/) {
  IgnoreBrokenConsole();
  InitAllKeys();

  pthread_t tidp{};
  bool worker_started = pthread_create(&tidp, nullptr, EventLoop, nullptr) == 0;

  sleep(5);

  // A record the worker is reading or printing now is finished first; after
  // this the worker reads nothing more, so no descriptor is closed under it.
  StopEventLoopReading();
  if (ret_value.load() < 0 && worker_started) {
    CancelEventLoopIfRunning(tidp);
  }
  CloseAllKeys();
  return ret_value.load();
}
