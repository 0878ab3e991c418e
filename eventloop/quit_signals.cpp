#include "quit_signals.h"

#include <QCoreApplication>
#include <QMap>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {
int pipe_fds[2] = {-1, -1};
int first_signal = 0;
QMap<int, QPair<quit_stage, std::function<void()>>> hooks;
int next_hook_id = 1;

void on_pipe_readable()
{
    unsigned char sig = 0;
    while (::read(pipe_fds[0], &sig, 1) == 1)
        quit_application(sig);
}
} // namespace

extern "C" void quit_on_signal(int signal_number)
{
    const int saved = errno;
    const unsigned char sig = static_cast<unsigned char>(signal_number);
    if (pipe_fds[1] >= 0)
        (void)!::write(pipe_fds[1], &sig, 1);
    errno = saved;
}

void install_signal_handlers(const QList<int>& quit_list, const QList<int>& ignore_list)
{
    if (pipe_fds[0] < 0 && ::pipe(pipe_fds) == 0) {
        for (int fd : pipe_fds)
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        auto* notifier = new QSocketNotifier(pipe_fds[0], QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { on_pipe_readable(); });
    }
    for (int s : ignore_list)
        std::signal(s, SIG_IGN);
    for (int s : quit_list)
        std::signal(s, quit_on_signal);
}

void quit_application(int signal_number)
{
    std::printf("\nquit the application (user request signal = %d).\n", signal_number);
    std::fflush(stdout);
    // A second signal (an impatient operator, a supervisor's SIGTERM after Ctrl-C) can be read
    // while the hooks wait for the database or the broker: they must not start again inside or
    // after themselves and write the same pending work twice.
    static bool quitting = false;
    if (quitting) return;
    quitting = true;
    first_signal = signal_number;
    run_quit_hooks(quit_stage_stop_input);
    // Calls already queued carry work that was promised to a peer (an uplink the broker was told
    // we hold): deliver them, and what they queue in turn, before the hooks write it away. Only
    // posted events run here; sockets are not read again, so this ends.
    for (int pass = 0; pass < 16; ++pass)
        QCoreApplication::sendPostedEvents();
    run_quit_hooks(quit_stage_close_links);
    run_quit_hooks(quit_stage_flush);
    QCoreApplication::quit();
}

int quit_signal_number()
{
    return first_signal;
}

bool quit_requested_within(int ms)
{
    if (first_signal != 0) return true;
    pollfd pipe_in{pipe_fds[0], POLLIN, 0};
    // Without handlers this is a plain pause. A signal that interrupts the wait is on the pipe
    // already: the (non-blocking) read below finds it.
    ::poll(pipe_fds[0] >= 0 ? &pipe_in : nullptr, pipe_fds[0] >= 0 ? 1 : 0, ms < 0 ? 0 : ms);
    if (pipe_fds[0] >= 0) on_pipe_readable();
    return first_signal != 0;
}

int add_quit_hook(std::function<void()> hook, quit_stage stage)
{
    hooks.insert(next_hook_id, qMakePair(stage, std::move(hook)));
    return next_hook_id++;
}

void remove_quit_hook(int id)
{
    hooks.remove(id);
}

void run_quit_hooks(quit_stage stage)
{
    const auto copy = hooks;
    for (const auto& hook : copy) {
        if (hook.first == stage)
            hook.second();
    }
}
