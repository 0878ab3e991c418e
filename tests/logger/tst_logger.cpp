#include "log_limiter.h"
#include "logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

class tst_logger : public QObject
{
    Q_OBJECT

    QStringList log_files(const QString& dir)
    {
        return QDir(dir).entryList(QStringList() << QStringLiteral("*.log"), QDir::Files, QDir::Name);
    }
    QStringList lines_of(const QString& path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) return {};
        QStringList out = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
        if (!out.isEmpty() && out.last().isEmpty()) out.removeLast();
        return out;
    }
    QStringList all_lines(const QString& dir)
    {
        QStringList out;
        for (const QString& name : log_files(dir))
            out += lines_of(dir + QLatin1Char('/') + name);
        return out;
    }

private slots:
    void cleanup()
    {
        log_defer_pruning(false);
        log_deinit();
        log_set_max_file_size(4194304);
        log_set_max_file_count(16);
        log_set_level(LVL_ERR);
    }

    void path_forms_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>(
            "dir_suffix"); // relative to the temp dir; "<exe>" = executable's dir + /log
        QTest::addColumn<QString>("base");
        QTest::newRow("dir and name") << "%1/x/drv.log"
                                      << "/x"
                                      << "drv";
        QTest::newRow("directory only") << "%1/x/"
                                        << "/x"
                                        << "tst_logger";
        QTest::newRow("name only") << "drv.log"
                                   << "<exe>"
                                   << "drv";
        QTest::newRow("backslashes") << "%1\\x\\drv.log"
                                     << "/x"
                                     << "drv";
    }
    void path_forms()
    {
        QFETCH(QString, path);
        QFETCH(QString, dir_suffix);
        QFETCH(QString, base);
        QTemporaryDir tmp;
        QDir().mkdir(tmp.path() + "/x");
        const QString full = path.contains("%1") ? path.arg(tmp.path()) : path;
        log_init(full, 5);
        const QString expected_dir = dir_suffix == "<exe>"
                                         ? QFileInfo(app_executable_path()).absolutePath() + "/log"
                                         : QDir(tmp.path() + dir_suffix).path();
        QCOMPARE(QDir(log_directory()).path(), expected_dir);
        QCOMPARE(log_base_name(), base);
        QVERIFY(log_is_enabled());
        QVERIFY(log_is_handler_installed());
        const QStringList files =
            QDir(expected_dir).entryList(QStringList() << base + "___*.log", QDir::Files);
        QVERIFY(!files.isEmpty());
        QVERIFY2(
            QRegularExpression("^" + base + "___\\d{4}-\\d\\d-\\d\\d___\\d\\d-\\d\\d-\\d\\d-\\d{3}\\.log$")
                .match(files.last())
                .hasMatch(),
            qPrintable(files.last()));
        if (dir_suffix == "<exe>") {
            for (const QString& f : files)
                QFile::remove(expected_dir + "/" + f);
        }
    }

    void line_format()
    {
        QTemporaryDir tmp;
        log_init(tmp.path() + "/drv.log", 5);
        const int line = __LINE__ + 1;
        LOG_WRN << "ram created";
        LOG_EXC << "no file settings" << QStringLiteral("/etc/a b.json") << 42;
        LOG_TRC << "not written at level 5";
        qWarning("plain %s", "warning");
        qInfo("never written");
        const QStringList lines = all_lines(tmp.path());
        QCOMPARE(lines.size(), 3);
        const QString ts = QStringLiteral("\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}");
        const QString pos1 = QStringLiteral("{tst_logger.cpp;%1}").arg(line, 4);
        const QString pos2 = QStringLiteral("{tst_logger.cpp;%1}").arg(line + 1, 4);
        QVERIFY2(QRegularExpression("^" + ts + "  \\(Wrn\\)  " + QRegularExpression::escape(pos1) +
                                    " ram created$")
                     .match(lines[0])
                     .hasMatch(),
                 qPrintable(lines[0]));
        QVERIFY2(QRegularExpression("^" + ts + "  \\(Exc\\)  " + QRegularExpression::escape(pos2) +
                                    " no file settings \"/etc/a b.json\" 42$")
                     .match(lines[1])
                     .hasMatch(),
                 qPrintable(lines[1]));
        QVERIFY2(QRegularExpression("^" + ts + "  \\(Wrn\\)  plain warning$").match(lines[2]).hasMatch(),
                 qPrintable(lines[2]));
    }

    // The level gates our lines and Qt's messages alike; numeric codes map to levels; 0 is off.
    void levels_gate_messages()
    {
        QTemporaryDir tmp;
        log_init(tmp.path() + "/drv.log", 2);
        qDebug("debug");
        qWarning("warning");
        qCritical("critical");
        LOG_WRN << "wrn";
        LOG_ERR << "err";
        QStringList lines = all_lines(tmp.path());
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].endsWith(" (Err)  critical"));
        QVERIFY(lines[1].contains(" (Err)  {tst_logger.cpp;"));

        log_deinit();
        QTemporaryDir codes;
        log_init(codes.path() + "/drv.log", 4);
        log_write(16, "exc");
        log_write(64, QStringLiteral("ntc"));
        log_write(80, QByteArray("dbg suppressed"));
        log_write(17, "unknown code");
        lines = all_lines(codes.path());
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].contains(" (Exc)  exc"));
        QVERIFY(lines[1].endsWith(" (Ntc)  ntc"));

        log_deinit();
        QTemporaryDir off;
        log_init(off.path() + "/drv.log", 0);
        LOG_EXC << "x";
        QVERIFY(!log_is_enabled());
        QVERIFY(log_files(off.path()).isEmpty());
    }

    void rotation_at_size_limit()
    {
        QTemporaryDir tmp;
        log_init(tmp.path() + "/drv.log", 5);
        const QString first = log_files(tmp.path()).first();
        LOG_WRN << "aaaa";
        const qint64 size = QFileInfo(tmp.path() + "/" + first).size();
        // The limit is met at equality: the next line goes to a new file.
        log_set_max_file_size(size);
        QTest::qWait(2); // distinct millisecond in the next file name
        LOG_WRN << "second";
        const QStringList files = log_files(tmp.path());
        QCOMPARE(files.size(), 2);
        QCOMPARE(lines_of(tmp.path() + "/" + files[0]).size(), 1);
        const QStringList second = lines_of(tmp.path() + "/" + files[1]);
        QCOMPARE(second.size(), 1);
        QVERIFY(second[0].endsWith("second"));
    }

    // The size limit counts the bytes on disk, so lines of multi-byte characters rotate at the
    // same place as the file's own size says.
    void rotation_counts_utf8_bytes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("ascii") << QStringLiteral("plain");
        QTest::newRow("two-byte") << QStringLiteral("Zähler Ünïcødé");
        QTest::newRow("three-byte") << QStringLiteral("счётчик €");
        QTest::newRow("surrogate pair") << QString::fromUtf8("meter \xF0\x9F\x98\x80 ok");
    }
    void rotation_counts_utf8_bytes()
    {
        QFETCH(QString, text);
        QTemporaryDir tmp;
        log_init(tmp.path() + "/drv.log", 5);
        const QString first = tmp.path() + "/" + log_files(tmp.path()).first();
        LOG_WRN << text;
        qWarning("%s", text.toUtf8().constData());
        const qint64 size = QFileInfo(first).size();
        log_set_max_file_size(size + 1);
        LOG_WRN << "still the first file";
        QCOMPARE(log_files(tmp.path()).size(), 1);
        log_set_max_file_size(QFileInfo(first).size());
        QTest::qWait(2); // distinct millisecond in the next file name
        LOG_WRN << "second file";
        QCOMPARE(log_files(tmp.path()).size(), 2);
        QCOMPARE(lines_of(first).size(), 3);
        QVERIFY(lines_of(first)[1].endsWith("  (Wrn)  " + text));
    }

    // The line time is the local time of the system's zone; a new zone is taken at the next
    // look, which comes at most once per check interval.
    void line_time_follows_zone_change()
    {
        auto line_offset_minutes = [this](const QString& dir, int line_index) {
            QDateTime t = QDateTime::fromString(all_lines(dir).value(line_index).left(23),
                                                QStringLiteral("yyyy.MM.dd hh:mm:ss.zzz"));
            t.setTimeSpec(Qt::UTC);
            return qRound(double(QDateTime::currentDateTimeUtc().msecsTo(t)) / 60000.0);
        };
        QTemporaryDir tmp;
        const QByteArray old_tz = qgetenv("TZ");
        qputenv("TZ", ":/usr/share/zoneinfo/UTC");
        log_detail::zone_check_ms.store(0);
        log_init(tmp.path() + "/drv.log", 5);
        LOG_WRN << "utc";
        QCOMPARE(line_offset_minutes(tmp.path(), 0), 0);

        // Within the interval the zone is not looked at again.
        log_detail::zone_check_ms.store(3600000);
        qputenv("TZ", ":/usr/share/zoneinfo/Asia/Kolkata");
        LOG_WRN << "still utc";
        QCOMPARE(line_offset_minutes(tmp.path(), 1), 0);

        log_detail::zone_check_ms.store(0);
        LOG_WRN << "kolkata";
        QCOMPARE(line_offset_minutes(tmp.path(), 2), 330);

        log_detail::zone_check_ms.store(60000);
        if (old_tz.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", old_tz);
        ::tzset();
    }

    void cleanup_keeps_max_count_data()
    {
        QTest::addColumn<int>("present");
        for (int present : {3, 16, 20})
            QTest::addRow("%d present", present) << present;
    }
    void cleanup_keeps_max_count()
    {
        QFETCH(int, present);
        const int deleted = qMax(0, present - 15); // 16 at most with the new one
        QTemporaryDir tmp;
        QStringList old;
        for (int i = 0; i < present; ++i) {
            const QString name =
                QStringLiteral("drv___2020-01-%1___00-00-00-000.log").arg(i + 1, 2, 10, QLatin1Char('0'));
            QFile f(tmp.path() + "/" + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            old << name;
        }
        // Another program's log in the same directory must survive.
        QFile other(tmp.path() + "/drvother.log");
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.close();
        log_init(tmp.path() + "/drv.log", 5);
        const QStringList files =
            QDir(tmp.path()).entryList(QStringList() << "drv___*.log", QDir::Files, QDir::Name);
        QCOMPARE(files.size(), present - deleted + 1);
        for (int i = 0; i < deleted; ++i)
            QVERIFY(!files.contains(old[i]));
        QVERIFY(QFile::exists(tmp.path() + "/drvother.log"));
    }

    // Another daemon with the same base writes its file: pruning counts it but never deletes it.
    // A start that defers pruning deletes nothing until it ends the deferral.
    void pruning_spares_held_files_and_waits_for_a_started_daemon()
    {
        QTemporaryDir tmp;
        QStringList old;
        for (int i = 0; i < 20; ++i) {
            old << QStringLiteral("drv___2020-01-%1___00-00-00-000.log").arg(i + 1, 2, 10, QLatin1Char('0'));
            QFile f(tmp.path() + "/" + old.last());
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        int held[2];
        for (int i = 0; i < 2; ++i) {
            held[i] = ::open(QFile::encodeName(tmp.path() + "/" + old[i]).constData(), O_RDWR);
            QVERIFY(held[i] >= 0 && ::flock(held[i], LOCK_EX | LOCK_NB) == 0);
        }
        log_defer_pruning(true);
        log_init(tmp.path() + "/drv.log", 5);
        QCOMPARE(log_files(tmp.path()).size(), 21);
        log_defer_pruning(false);
        const QStringList files = log_files(tmp.path());
        QCOMPARE(files.size(), 16);
        QVERIFY(files.contains(old[0]) && files.contains(old[1]));
        for (int i = 2; i < 7; ++i)
            QVERIFY2(!files.contains(old[i]), qPrintable(old[i]));
        // Our own open file is held too: a second logger's pruning leaves it.
        const QString ours = files.last();
        QCOMPARE(::flock(::open(QFile::encodeName(tmp.path() + "/" + ours).constData(), O_RDONLY),
                         LOCK_EX | LOCK_NB),
                 -1);
        for (int fd : held)
            ::close(fd);
    }

    void id_ranges_data()
    {
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<QString>("expected");
        QTest::newRow("runs, order and repeats")
            << QStringList{"drvStrova5_3", "drvStrova5_1", "drvStrova5_2", "drvStrova5_7", "drvStrova5_2"}
            << "drvStrova5_1-3 drvStrova5_7";
        QTest::newRow("prefixes apart") << QStringList{"a9", "b10", "a10", "b11"} << "a9-10 b10-11";
        QTest::newRow("without a number") << QStringList{"(no status_id)", "x1"} << "(no status_id) x1";
        QTest::newRow("none") << QStringList{} << "";
    }
    void id_ranges()
    {
        QFETCH(QStringList, ids);
        QFETCH(QString, expected);
        QCOMPARE(log_id_ranges(ids).join('|'), expected);
    }

    // Scattered ids are never cut: every one is in some piece, and no piece is longer than asked.
    void id_ranges_split_long_lists()
    {
        QStringList ids;
        for (int i = 0; i < 5000; ++i)
            ids << QStringLiteral("drvStrova5_%1").arg(i * 2);
        const QStringList pieces = log_id_ranges(ids, 200);
        QVERIFY(pieces.size() > 1);
        QStringList back;
        for (const QString& p : pieces) {
            QVERIFY(p.size() <= 200);
            back += p.split(' ');
        }
        QCOMPARE(back, ids);
    }

    // A full file system: no half line stays in the file, the lines that could not be written
    // are counted, standard error says it once, and within a second of the space coming back
    // the log says how many were lost and writes again. Run in a private mount namespace on a
    // small tmpfs (a few seconds of fullness show the same as the minutes an outage may last).
    void full_file_system_loses_no_line_silently()
    {
        const QByteArray dir = qgetenv("STROVA_LOG_TMPFS");
        if (dir.isEmpty()) {
            QProcess probe;
            probe.start("unshare", {"-rm", "true"});
            if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit ||
                probe.exitCode() != 0)
                QSKIP(
                    "no private mount namespace here (unshare -rm fails): the full file system is not tried");
            QTemporaryDir tmp;
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("STROVA_LOG_TMPFS", tmp.path());
            child.setProcessEnvironment(env);
            child.start("unshare", {"-rm", QCoreApplication::applicationFilePath(),
                                    "full_file_system_loses_no_line_silently"});
            QVERIFY(child.waitForFinished(60000));
            const QString out = QString::fromUtf8(child.readAllStandardOutput());
            const QString err = QString::fromUtf8(child.readAllStandardError());
            QVERIFY2(child.exitCode() == 0, qPrintable(out + err));
            QVERIFY2(!out.contains("SKIP"), qPrintable(out));
            QCOMPARE(err.count("cannot be written (No space left on device)"), 1);
            return;
        }
        QProcess mount;
        mount.start("mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", QString::fromLocal8Bit(dir)});
        QVERIFY(mount.waitForFinished(10000));
        QVERIFY2(mount.exitCode() == 0, mount.readAllStandardError().constData());
        log_init(QString::fromLocal8Bit(dir) + "/drv.log", 5);
        LOG_WRN << "before";
        QFile filler(QString::fromLocal8Bit(dir) + "/filler");
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size()) {
        }
        const QString pad(100, QLatin1Char('x'));
        int attempted = 0;
        for (; attempted < 300; ++attempted)
            LOG_WRN << "line" << attempted << pad;
        filler.close();
        filler.remove();
        QElapsedTimer t;
        t.start();
        const QString path =
            QString::fromLocal8Bit(dir) + "/" + log_files(QString::fromLocal8Bit(dir)).first();
        while (!lines_of(path).join('\n').contains("log lines lost") && t.elapsed() < 5000) {
            LOG_WRN << "line" << attempted++ << pad;
            QTest::qWait(20);
        }
        LOG_WRN << "line" << attempted++ << pad;
        const QStringList lines = lines_of(path);
        const QRegularExpression whole("  \\(Wrn\\)  \\{tst_logger\\.cpp; *\\d+\\} line (\\d+) \"x{100}\"$");
        int written = 0;
        qint64 lost = -1;
        for (const QString& l : lines) {
            const QRegularExpressionMatch lost_line =
                QRegularExpression(" \\(Err\\)  log lines lost: (\\d+) ").match(l);
            if (lost_line.hasMatch()) {
                QCOMPARE(lost, -1);
                lost = lost_line.captured(1).toLongLong();
                QVERIFY2(l.contains("(No space left on device)"), qPrintable(l));
                continue;
            }
            if (l.endsWith("before")) continue;
            QVERIFY2(whole.match(l).hasMatch(), qPrintable(l)); // no half line
            ++written;
        }
        QVERIFY2(lost > 0, qPrintable(lines.join('\n').right(2000)));
        QCOMPARE(written + lost, qint64(attempted));
        QVERIFY(lines.last().contains(QStringLiteral("line %1 ").arg(attempted - 1)));
    }

    void threads_write_whole_lines()
    {
        QTemporaryDir tmp;
        log_init(tmp.path() + "/drv.log", 6);
        log_set_max_file_size(64 * 1024); // rotate a few times under load
        log_set_max_file_count(1000);
        const int threads = 8, per_thread = 500;
        QList<QThread*> workers;
        for (int t = 0; t < threads; ++t) {
            workers << QThread::create([t] {
                for (int i = 0; i < per_thread; ++i) {
                    if (i % 2)
                        LOG_DBG << "worker" << t << "line" << i << QStringLiteral("payload-payload-payload");
                    else
                        qWarning("worker %d plain %d", t, i);
                }
            });
        }
        for (QThread* w : workers)
            w->start();
        for (QThread* w : workers) {
            QVERIFY(w->wait(60000));
            delete w;
        }
        const QStringList lines = all_lines(tmp.path());
        QCOMPARE(lines.size(), threads * per_thread);
        const QRegularExpression tagged(
            "^\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  \\(Dbg\\)  "
            "\\{tst_logger\\.cpp; *\\d+\\} worker \\d line \\d+ \"payload-payload-payload\"$");
        const QRegularExpression plain(
            "^\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  \\(Wrn\\)  worker \\d plain \\d+$");
        for (const QString& l : lines)
            QVERIFY2(tagged.match(l).hasMatch() || plain.match(l).hasMatch(), qPrintable(l));
        QVERIFY(log_files(tmp.path()).size() > 1);
    }
    // A flood: the first lines of a burst pass, then the steady allowance and one count a window
    // until a window is quiet.
    void limiter_flood_keeps_first_lines_and_counts_the_rest()
    {
        QTemporaryDir tmp;
        log_init(tmp.path() + "/drv.log", 5);
        qint64 now = 1000;
        log_limiter lim(QStringLiteral("api request"), LVL_WRN, 3, 1000);
        lim.set_clock([&now] { return now; });
        int passed = 0;
        for (int i = 0; i < 10; ++i)
            passed += lim.pass();
        QCOMPARE(passed, 3);
        QCOMPARE(lim.left_out(), 7);
        QVERIFY(all_lines(tmp.path()).isEmpty());

        // Still flooding in the next window: the steady allowance (here the burst of 3, below 5)
        // passes, the last window is counted once.
        now += 1000;
        for (int i = 0; i < 5; ++i)
            passed += lim.pass();
        QCOMPARE(passed, 6);
        QStringList lines = all_lines(tmp.path());
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].endsWith(" (Wrn)  api request: 7 more like it left out in 1 s"),
                 qPrintable(lines[0]));

        // A window without lines ends the burst; its own count is said first.
        now += 1000;
        now += 1000;
        QVERIFY(lim.pass());
        lines = all_lines(tmp.path());
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[1].endsWith("api request: 2 more like it left out in 1 s"), qPrintable(lines[1]));
        QCOMPARE(lim.left_out(), 0);
    }

    // A flood of minutes at 1,000 lines a second: after its burst every second still lets 5
    // lines pass, and every line is either written or counted.
    void limiter_flood_keeps_a_steady_allowance()
    {
        QTemporaryDir tmp;
        log_init(tmp.path() + "/drv.log", 5);
        qint64 now = 0;
        log_limiter lim(QStringLiteral("api request"), LVL_WRN, 50, 1000);
        lim.set_clock([&now] { return now; });
        QList<int> per_second;
        for (int s = 0; s < 180; ++s) {
            int passed = 0;
            for (int ms = 0; ms < 1000; ++ms, ++now)
                passed += lim.pass();
            per_second << passed;
        }
        QCOMPARE(per_second.first(), 50);
        for (int s = 1; s < per_second.size(); ++s)
            QVERIFY2(per_second[s] == log_limiter::steady_per_second,
                     qPrintable(QString("second %1: %2 lines").arg(s).arg(per_second[s])));
        lim.flush();
        qint64 counted = 0;
        const QRegularExpression count(" api request: (\\d+) more like it left out in 1 s$");
        for (const QString& l : all_lines(tmp.path())) {
            const QRegularExpressionMatch m = count.match(l);
            QVERIFY2(m.hasMatch(), qPrintable(l));
            counted += m.captured(1).toLongLong();
        }
        QCOMPARE(counted + 50 + 179 * log_limiter::steady_per_second, qint64(180 * 1000));
    }

    // An outage: said once, then a count at most once a window, and the end said once.
    void limiter_outage_says_start_counts_and_end()
    {
        QTemporaryDir tmp;
        log_init(tmp.path() + "/drv.log", 5);
        qint64 now = 0;
        log_limiter lim(QStringLiteral("db_loader session not set"), LVL_ERR, 1, 60000);
        lim.set_clock([&now] { return now; });
        QVERIFY(!lim.end()); // nothing began
        int lines_written = 0;
        for (int s = 0; s < 600; ++s, now += 1000)
            if (lim.pass()) ++lines_written;
        QCOMPARE(lines_written, 1);
        QVERIFY(lim.end());
        const QStringList lines = all_lines(tmp.path());
        // Ten minutes of one line a second: nine minute counts and the rest said at the end.
        QCOMPARE(lines.size(), 10);
        qint64 counted = 0;
        const QRegularExpression count(
            " \\(Err\\)  db_loader session not set: (\\d+) more like it left out in (\\d+) s$");
        for (const QString& l : lines) {
            const QRegularExpressionMatch m = count.match(l);
            QVERIFY2(m.hasMatch(), qPrintable(l));
            QVERIFY(m.captured(2).toInt() <= 60);
            counted += m.captured(1).toLongLong();
        }
        QCOMPARE(counted, 599);
        // After the end a new outage is a first line again.
        QVERIFY(lim.pass());
        QVERIFY(!lim.pass());
    }

    // The count of a flood's last window is said without a further line, from the event loop.
    void limiter_says_count_when_flood_stops()
    {
        QTemporaryDir tmp;
        log_init(tmp.path() + "/drv.log", 5);
        log_limiter lim(QStringLiteral("hdlc datagram"), LVL_WRN, 2, 100);
        for (int i = 0; i < 6; ++i)
            lim.pass();
        QTRY_COMPARE(all_lines(tmp.path()).size(), 1);
        QVERIFY(all_lines(tmp.path())[0].endsWith("hdlc datagram: 4 more like it left out in 1 s"));
        QCOMPARE(lim.left_out(), 0);
    }

    // LOG_LIMITED: each call site a limiter of its own, below the log's level nothing counted,
    // and at Trc as at Exc the lines beyond the burst counted in one line of their kind.
    void limited_call_sites_count_apart()
    {
        QTemporaryDir tmp;
        log_init(tmp.path() + "/drv.log", 5);
        for (int i = 0; i < 50; ++i) {
            LOG_LIMITED(LVL_EXC, "site a") << "a" << i;
            LOG_LIMITED(LVL_DBG, "site b") << "b" << i;
            LOG_LIMITED(LVL_TRC, "site c") << "c" << i; // above the level: neither written nor counted
        }
        QStringList lines = all_lines(tmp.path());
        QCOMPARE(lines.filter(" (Exc) ").size(), 20);
        QCOMPARE(lines.filter(" (Dbg) ").size(), 20);
        QVERIFY(lines.filter("\"c\"").isEmpty() && lines.filter(" c ").isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(all_lines(tmp.path()).filter("more like it left out").size() == 2, 3000);
        lines = all_lines(tmp.path());
        QCOMPARE(lines.filter("site a: 30 more like it left out in 1 s").size(), 1);
        QCOMPARE(lines.filter("site b: 30 more like it left out in 1 s").size(), 1);
        QVERIFY(lines.filter("site c").isEmpty());
    }

    void limiter_threads_count_every_line()
    {
        QTemporaryDir tmp;
        log_init(tmp.path() + "/drv.log", 5);
        log_limiter lim(QStringLiteral("iec"), LVL_WRN, 10, 3600000);
        std::atomic<int> passed{0};
        QList<QThread*> workers;
        for (int t = 0; t < 4; ++t)
            workers << QThread::create([&] {
                for (int i = 0; i < 5000; ++i)
                    passed += lim.pass();
            });
        for (QThread* w : workers)
            w->start();
        for (QThread* w : workers) {
            QVERIFY(w->wait(60000));
            delete w;
        }
        QCOMPARE(passed.load(), 10);
        QCOMPARE(lim.left_out(), 19990);
    }
};

QTEST_GUILESS_MAIN(tst_logger)
#include "tst_logger.moc"
