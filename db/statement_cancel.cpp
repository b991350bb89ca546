#include "db/statement_cancel.h"

#include <array>
#include <atomic>

namespace {

// A signal handler may read a slot at any moment: the cancel object is
// swapped in and out whole, so it never sees one half made or freed.
struct CancelSlot {
  std::atomic<PGcancel*> cancel{nullptr};
  std::atomic<bool> running{false};
  std::atomic<bool> taken{false};
};

std::array<CancelSlot, kCancelSlots> slots;

void sendCancel(PGcancel* cancel) {
  if (cancel == nullptr) return;
  std::array<char, 256> error{};
  (void)PQcancel(cancel, error.data(), static_cast<int>(error.size()));
}

}  // namespace

int takeCancelSlot(PGconn* conn) {
  for (int i = 0; i < kCancelSlots; ++i) {
    CancelSlot& slot = slots[static_cast<size_t>(i)];
    bool free = false;
    if (!slot.taken.compare_exchange_strong(free, true)) continue;
    PGcancel* cancel = PQgetCancel(conn);
    if (cancel == nullptr) {
      slot.taken = false;
      return -1;
    }
    slot.running = false;
    slot.cancel = cancel;
    return i;
  }
  return -1;
}

void returnCancelSlot(int slot) {
  if (slot < 0 || slot >= kCancelSlots) return;
  CancelSlot& taken = slots[static_cast<size_t>(slot)];
  taken.running = false;
  PQfreeCancel(taken.cancel.exchange(nullptr));
  taken.taken = false;
}

void markStatementRunning(int slot, bool running) {
  if (slot >= 0 && slot < kCancelSlots) slots[static_cast<size_t>(slot)].running = running;
}

void cancelSlotStatement(int slot) {
  if (slot >= 0 && slot < kCancelSlots) sendCancel(slots[static_cast<size_t>(slot)].cancel.load());
}

void cancelRunningStatements() {
  for (CancelSlot& slot : slots) {
    if (slot.running.load()) sendCancel(slot.cancel.load());
  }
}
