// The cancel objects of the open sessions, so that a stop signal can reach
// every statement that runs on the server, on however many connections.
// A session takes a slot when it connects, marks it while a statement runs
// and gives it back when it disconnects.
#pragma once

#include <libpq-fe.h>

// Sessions that can be open at once.
inline constexpr int kCancelSlots = 32;

// Makes a cancel object for `conn` and keeps it in a free slot. Returns the
// slot, or -1 when none is free or the object could not be made (the
// session then cannot be cancelled by a signal, and works otherwise).
int takeCancelSlot(PGconn* conn);

// Frees the slot's cancel object and gives the slot back (-1: nothing).
void returnCancelSlot(int slot);

// Marks whether a statement runs on the slot's connection.
void markStatementRunning(int slot, bool running);

// Asks the server to cancel the statement on the slot's connection.
// Safe in a signal handler.
void cancelSlotStatement(int slot);

// Asks the server to cancel every statement that runs, on every session.
// Safe in a signal handler.
void cancelRunningStatements();
