#include "quit_signals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <csignal>

// Termination signals as the daemon receives them: through its handler, read by the main thread.
class tst_quit_signals : public QObject
{
    Q_OBJECT

private slots:
    // A second signal read while the hooks wait (they serve the event loop, as the waits for the
    // database and the broker do) neither runs them again nor inside themselves.
    void second_signal_runs_no_hook_again()
    {
        install_signal_handlers({SIGUSR1}, {});
        int stop_runs = 0, flush_runs = 0, depth = 0, deepest = 0;
        add_quit_hook([&] { ++stop_runs; }, quit_stage_stop_input);
        add_quit_hook(
            [&] {
                ++flush_runs;
                deepest = qMax(deepest, ++depth);
                ::raise(SIGUSR1);
                QElapsedTimer waited;
                waited.start();
                while (waited.elapsed() < 200)
                    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
                --depth;
            },
            quit_stage_flush);
        QTimer::singleShot(0, [] { ::raise(SIGUSR1); });
        QTimer::singleShot(5000, [] { QCoreApplication::exit(2); });
        QCOMPARE(QCoreApplication::exec(), 0);
        // Signals still on their way after the loop ended are read by a later pass, as in the
        // daemon's destructors.
        ::raise(SIGUSR1);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        QCOMPARE(stop_runs, 1);
        QCOMPARE(flush_runs, 1);
        QCOMPARE(deepest, 1);
    }
};

QTEST_GUILESS_MAIN(tst_quit_signals)
#include "tst_quit_signals.moc"
