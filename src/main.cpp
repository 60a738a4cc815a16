// SPDX-License-Identifier: MIT
#include <pthread.h>
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

  // Without a worker nothing is recorded and the run ends with 255 all the same.
  pthread_t tidp{};
  (void)pthread_create(&tidp, nullptr, EventLoop, nullptr);

  sleep(5);

  // A record the worker is reading or printing now is finished first; after
  // this the worker reads, prints and stores nothing more, so no descriptor is
  // closed under it. A worker still waiting is not cancelled: it can no longer
  // do anything the run shows, the return below ends it with the process, and
  // a cancellation would make glibc load libgcc_s.so.1 to unwind it, and abort
  // the run on a root without that library.
  StopEventLoopReading();
  CloseAllKeys();
  return ret_value.load();
}
