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
// The signal whose quit_application started the quit; 0 while none did.
int quit_signal_number();
// For waits before the event loop runs (a start that waits for its database): waits up to `ms`
// for a termination signal and, when one came, runs the quit as the loop would (quit_application).
// True once a quit has begun.
bool quit_requested_within(int ms);

// Work that must happen before the event loop ends on a quit. Hooks of stage
// quit_stage_stop_input run first (stop taking new work, e.g. acknowledging messages); then the
// calls already queued are delivered; then the quit_stage_close_links hooks end the links whose
// peer would give them up while the main thread waits (a broker's heartbeats), after handing
// over what they carry; then the quit_stage_flush hooks write what is pending, which may wait
// long. Returns an id for remove_quit_hook.
enum quit_stage { quit_stage_stop_input = 0, quit_stage_flush = 1, quit_stage_close_links = 2 };
int add_quit_hook(std::function<void()> hook, quit_stage stage = quit_stage_flush);
void remove_quit_hook(int id);
void run_quit_hooks(quit_stage stage);
