#pragma once
// Termination signals: the handler only notes the signal; the main thread prints the quit
// text, runs the quit hooks (pending writes) and ends the event loop.

#include <QList>
#include <functional>

void install_signal_handlers(const QList<int>& quit_list, const QList<int>& ignore_list);

// The signal handler itself: async-signal-safe, it only hands the number to the main thread.
extern "C" void quit_on_signal(int signal_number);

// Runs in the main thread: prints "\nquit the application (user request signal = %d).\n",
// runs the hooks and asks the application to quit.
void quit_application(int signal_number);

// Work that must happen before the event loop ends on a quit (e.g. writing pending batches).
// Returns an id for remove_quit_hook.
int add_quit_hook(std::function<void()> hook);
void remove_quit_hook(int id);
void run_quit_hooks();
