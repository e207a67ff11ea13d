// Windows stopping: a console event (Ctrl+C, Ctrl+Break, the window closed)
// is recorded for the run to stop at its next safe point, and cancels a copy
// in flight where the copier honours that; the run then ends with status 130.
#include <atomic>
#include <cstdio>

#include "platform/win32/internal.h"

namespace qmr {

namespace {

// Process-wide by nature, like the console event.
std::atomic<int> g_interrupt{0};
std::atomic<bool> g_finished{false};
BOOL g_cancel = FALSE;

constexpr int kInterruptSignal = 2;  // reported as Ctrl+C is on POSIX: 128 + 2

BOOL WINAPI on_console_event(DWORD event) {
  int none = 0;
  g_interrupt.compare_exchange_strong(none, kInterruptSignal);
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&g_cancel), TRUE);
  // A closing console ends the process when the handler returns: give the
  // run a few seconds to remove its temporaries first.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    for (int waited = 0; waited < 90 && !g_finished.load(); ++waited) Sleep(50);
  }
  return TRUE;
}

}  // namespace

namespace win32 {
BOOL* copy_cancel_flag() { return &g_cancel; }

bool under_wine() {
  static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

bool cancel_is_honoured() { return !under_wine(); }
}  // namespace win32

void prepare_process() { SetConsoleCtrlHandler(on_console_event, TRUE); }

int pending_interrupt() { return g_interrupt.load(); }

int end_process(int status) {
  std::fflush(nullptr);
  g_finished.store(true);
  const int signal_number = pending_interrupt();
  return signal_number != 0 ? stopped_status(signal_number) : status;
}

}  // namespace qmr
