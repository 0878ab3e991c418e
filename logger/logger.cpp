#include "logger.h"

#include <QDateTime>
#include <QStringList>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <mutex>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace log_detail {
std::atomic<int> level{LVL_ERR};
std::atomic<qint64> zone_check_ms{60000};
} // namespace log_detail

namespace {

// Everything below is guarded by `mtx`, except `preformatted`, which belongs to the thread
// that set it: the Qt message handler runs in the thread that ended the debug stream.
std::recursive_mutex mtx;
qint64 max_file_size = 4194304;
int max_file_count = 16;
QString log_path;
QString directory;
QString base_name;
std::unique_ptr<QFile> file; // open, and locked so that no other daemon's pruning deletes it
bool enabled = false;
bool handler_installed = false;
thread_local bool preformatted = false;

const char* const tags[] = {"", " (Exc) ", " (Err) ", " (Wrn) ", " (Ntc) ", " (Dbg) ", " (Trc) "};

qint64 file_bytes = 0; // size of the current file: the lines written plus what it held when opened

// A write that failed (a full file system, a quota, an I/O error): the lines after it are
// counted until a retry, at most once a second, writes again; its first line says how many
// were lost, so the log is honest about its own gap.
constexpr qint64 retry_ms = 1000;
bool write_failed = false;
qint64 lost_lines = 0;
QByteArray failed_since;
QString failed_reason;
qint64 last_try_ms = 0;
qint64 last_rotation_failed_ms = std::numeric_limits<qint64>::min() / 2;
// Pruning waits for log_defer_pruning(false) while deferred: a start that fails deletes nothing.
bool pruning_deferred = false;
bool prune_due = false;
// Monotonic milliseconds of the last time-zone check; the first line checks.
std::atomic<qint64> zone_checked_ms{std::numeric_limits<qint64>::min() / 2};

qint64 monotonic_ms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The local time "yyyy.MM.dd hh:mm:ss.zzz". The zone is read again (tzset looks at the zone file
// and reloads it when it changed) at most once per check interval, not per line: asking per line
// costs a stat of the zone file for every line written.
QByteArray now_text()
{
    const qint64 mono = monotonic_ms();
    qint64 checked = zone_checked_ms.load(std::memory_order_relaxed);
    if (mono - checked >= log_detail::zone_check_ms.load(std::memory_order_relaxed) &&
        zone_checked_ms.compare_exchange_strong(checked, mono))
        ::tzset();
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const time_t secs = now.tv_sec;
    tm local{};
    ::localtime_r(&secs, &local); // the zone as last read; it does not look at the file itself
    char text[40];
    const int n = std::snprintf(text, sizeof text, "%04d.%02d.%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                                int(now.tv_nsec / 1000000));
    return QByteArray(text, qBound(0, n, int(sizeof text) - 1));
}

const char* file_name_of(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Writes all of `bytes` at the file's end; a write cut short is taken back, so that no half line
// stays in the file. False with errno set when the file system refused.
bool write_bytes(const QByteArray& bytes)
{
    const int fd = file ? file->handle() : -1;
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    const char* p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            if (::ftruncate(fd, off_t(file_bytes)) == 0) ::lseek(fd, off_t(file_bytes), SEEK_SET);
            errno = err;
            return false;
        }
        p += n;
        left -= n;
    }
    file_bytes += bytes.size();
    return true;
}

bool space_error(int err)
{
    return err == ENOSPC || err == EDQUOT || err == EFBIG;
}

bool open_new_file(bool prune);
bool held_by_a_live_logger(const QString& path);

// Said on standard error once per failure: the log itself cannot say it.
void begin_write_failure(int err)
{
    write_failed = true;
    lost_lines = 0;
    failed_since = now_text();
    failed_reason = QString::fromLocal8Bit(std::strerror(err));
    last_try_ms = monotonic_ms();
    std::fprintf(stderr,
                 "log file %s cannot be written (%s): log lines are counted and writing is tried again every "
                 "second\n",
                 file ? qUtf8Printable(file->fileName()) : "(none)", qUtf8Printable(failed_reason));
    std::fflush(stderr);
}

// One retry of a failed log: the count of lost lines first; a file that failed for another reason
// than space is replaced by a new one. True when the log takes lines again.
bool retry_failed_log()
{
    const qint64 now = monotonic_ms();
    if (now - last_try_ms < retry_ms) return false;
    last_try_ms = now;
    const QByteArray report = now_text() + "  (Err)  log lines lost: " + QByteArray::number(lost_lines) +
                              " could not be written from " + failed_since + " on (" +
                              failed_reason.toUtf8() + ")\n";
    if (write_bytes(report)) return true;
    if (space_error(errno) || !open_new_file(false)) return false;
    return write_bytes(report);
}

void write_line(const QString& text)
{
    if (write_failed) {
        if (!retry_failed_log()) {
            ++lost_lines;
            return;
        }
        write_failed = false;
    }
    if (!write_bytes(text.toUtf8() + '\n')) {
        begin_write_failure(errno);
        ++lost_lines;
    }
}

// Without a log file every line falls through to standard error; whoever reads it there is told
// why, once per process, instead of seeing log lines where none were expected.
void say_unwritable(const QString& name)
{
    static bool said = false;
    if (said)
        return;
    said = true;
    std::fprintf(stderr,
                 "log file %s cannot be created or written (directory missing, not creatable or not writable): "
                 "log lines go to standard error\n",
                 qUtf8Printable(name));
    std::fflush(stderr);
}

void write_tagged(const char* tag, const QString& message)
{
    write_line(QString::fromUtf8(now_text()) + QLatin1Char(' ') + QLatin1String(tag) + QLatin1Char(' ') + message);
}

} // namespace

QDebug log_detail::line(int lvl, const char* file_path, int line_no)
{
    if (lvl > LVL_TRC)
        lvl = LVL_TRC;
    preformatted = true;
    QMessageLogger logger(nullptr, 0, nullptr, "default");
    QDebug d = lvl == LVL_ERR ? logger.critical() : lvl == LVL_WRN ? logger.warning() : logger.debug();
    const QByteArray pos = QStringLiteral("{%1;%2}").arg(QString::fromUtf8(file_name_of(file_path))).arg(line_no, 4).toUtf8();
    d << now_text().constData() << tags[lvl] << pos.constData();
    return d;
}

QString app_executable_path()
{
    const QByteArray link = QByteArray("/proc/") + QByteArray::number(qint64(::getpid())) + "/exe";
    char buf[4096];
    const ssize_t n = ::readlink(link.constData(), buf, sizeof(buf) - 1);
    if (n <= 0)
        return QString();
    return QString::fromLocal8Bit(buf, int(n));
}

void log_split_path(QString& dir, QString& base)
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    const QString path = log_path;
    if (path.contains(QLatin1String(".log"))) {
        if (path.contains(QLatin1Char('/'))) {
            dir = path.left(path.lastIndexOf(QLatin1Char('/')));
            base = path;
            base.remove(dir + QLatin1Char('/'));
            base.remove(QLatin1String(".log"));
        } else {
            base = path;
            base.remove(QLatin1String(".log"));
        }
    } else {
        dir = path;
    }
    const QFileInfo exe(app_executable_path());
    if (dir.isEmpty())
        dir = exe.absolutePath() + QLatin1String("/log");
    if (!QDir(dir).exists())
        QDir().mkdir(dir);
    if (base.isEmpty())
        base = exe.completeBaseName();
}

namespace {
// Deletes the oldest files until fewer than `keep` remain. Every file counts, but one that a
// running daemon writes is never deleted: the next older free one goes in its place.
void prune(const QDir& dir, const QString& base, int keep)
{
    // Only names this logger writes, so another program's logs in the same directory survive.
    const QStringList names =
        dir.entryList(QStringList() << base + QLatin1String("___*.log"), QDir::Files, QDir::Name);
    int remaining = names.size();
    for (const QString& name : names) {
        if (remaining < keep) break;
        const QString path = dir.path() + QLatin1Char('/') + name;
        if (held_by_a_live_logger(path)) continue;
        QFile::remove(path);
        --remaining;
    }
}
} // namespace

void log_remove_old_files(const QDir& dir, const QString& base)
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    prune(dir, base, max_file_count);
}

void log_install_handler()
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    if (enabled) {
        qInstallMessageHandler(log_message_handler);
        handler_installed = true;
    } else {
        qInstallMessageHandler(nullptr);
        handler_installed = false;
    }
}

void log_remove_handler()
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    qInstallMessageHandler(nullptr);
    handler_installed = false;
}

namespace {

// True when another open file description holds the lock: a live logger writes to the file.
bool held_by_a_live_logger(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

// Opens a new file and makes it the current one; the old one stays current when that fails.
bool open_new_file(bool prune)
{
    if (directory.isEmpty() || base_name.isEmpty()) log_split_path(directory, base_name);
    if (prune && !pruning_deferred)
        log_remove_old_files(QDir(directory), base_name);
    else if (prune)
        prune_due = true;
    const QString name =
        QStringLiteral("%1/%2%3.log")
            .arg(QDir(directory).path(), base_name,
                 QDateTime::currentDateTime().toString(QStringLiteral("___yyyy-MM-dd___hh-mm-ss-zzz")));
    std::unique_ptr<QFile> next(new QFile(name));
    if (!next->open(QIODevice::ReadWrite | QIODevice::Text | QIODevice::Unbuffered)) {
        say_unwritable(name);
        return false;
    }
    // Held as long as it is open: pruning by other daemons with the same base skips it.
    (void)::flock(next->handle(), LOCK_EX | LOCK_NB);
    if (file) file->close();
    file = std::move(next);
    file_bytes = file->size();
    ::lseek(file->handle(), off_t(file_bytes), SEEK_SET);
    enabled = true;
    return true;
}

void close_file()
{
    if (file) file->close();
    file.reset();
    enabled = false;
}

} // namespace

bool log_open_file()
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    if (log_detail::level.load() < 1) return true;
    if (!file) open_new_file(true);
    log_install_handler();
    return enabled;
}

void log_defer_pruning(bool defer)
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    pruning_deferred = defer;
    if (defer || !prune_due) return;
    prune_due = false;
    // The current file is among them already.
    if (!directory.isEmpty() && !base_name.isEmpty())
        prune(QDir(directory), base_name, max_file_count + (file ? 1 : 0));
}

void log_close()
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    close_file();
    log_remove_handler();
}

void log_init(const QString& path, unsigned level)
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    log_set_level(int(level));
    log_path = path;
    log_path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    directory.clear();
    base_name.clear();
    log_open_file();
}

void log_init(const char* path, unsigned level)
{
    log_init(QString::fromUtf8(path), level);
}

void log_reinit(const QString& path, unsigned level)
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    log_close();
    log_init(path, level);
}

void log_reinit(const char* path, unsigned level)
{
    log_reinit(QString::fromUtf8(path), level);
}

void log_deinit()
{
    log_close();
}

void log_set_max_file_size(qint64 bytes)
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    max_file_size = bytes;
}

void log_set_max_file_count(int count)
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    max_file_count = qMax(1, count);
}

void log_set_rotation(qint64 kib, int count)
{
    log_set_max_file_size(kib * 1024);
    log_set_max_file_count(count);
}

void log_set_level(int level)
{
    log_detail::level.store(level > LVL_TRC ? LVL_TRC : level);
}

int log_get_level()
{
    return log_detail::level.load();
}

QString log_directory()
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    return directory;
}

QString log_base_name()
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    return base_name;
}

bool log_is_enabled()
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    return enabled;
}

bool log_is_handler_installed()
{
    std::lock_guard<std::recursive_mutex> lock(mtx);
    return handler_installed;
}

void log_message_handler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    const bool pre = preformatted;
    preformatted = false;
    const int level = log_detail::level.load();
    if (level <= 0)
        return;
    std::lock_guard<std::recursive_mutex> lock(mtx);
    if (!file) {
        log_open_file();
        if (!file) {
            log_close();
            return;
        }
    }
    if (max_file_size <= file_bytes && monotonic_ms() - last_rotation_failed_ms >= retry_ms) {
        // The handler stays installed while the file is swapped: other threads' lines wait on
        // the lock instead of falling through to the default output. A new file that cannot be
        // opened leaves the old one in use, tried again a second later.
        if (!open_new_file(true)) last_rotation_failed_ms = monotonic_ms();
    }
    switch (type) {
    case QtDebugMsg:
        if (pre)
            write_line(message);
        else if (level >= LVL_DBG)
            write_tagged(" (Dbg) ", message);
        break;
    case QtWarningMsg:
        if (pre)
            write_line(message);
        else if (level >= LVL_WRN)
            write_tagged(" (Wrn) ", message);
        break;
    case QtCriticalMsg:
        if (pre)
            write_line(message);
        else if (level >= LVL_ERR)
            write_tagged(" (Err) ", message);
        break;
    case QtFatalMsg:
        if (pre)
            write_line(message);
        else
            write_tagged(" (Ftl) ", message);
        std::abort();
    case QtInfoMsg:
        break;
    }
}

namespace {
void write_coded(int code, const QString& message)
{
    if (code / 16 > log_detail::level.load())
        return;
    const char* tag = nullptr;
    QtMsgType type = QtDebugMsg;
    switch (code) {
    case 16: tag = " (Exc) "; type = QtCriticalMsg; break;
    case 32: tag = " (Err) "; type = QtCriticalMsg; break;
    case 48: tag = " (Wrn) "; type = QtWarningMsg; break;
    case 64: tag = " (Ntc) "; break;
    case 65: tag = " (Inf) "; break;
    case 80: tag = " (Dbg) "; break;
    case 96: tag = " (Trc) "; break;
    case 97: tag = "       "; break;
    default: return;
    }
    preformatted = true;
    QMessageLogger logger(nullptr, 0, nullptr, "default");
    QDebug d = type == QtCriticalMsg ? logger.critical() : type == QtWarningMsg ? logger.warning() : logger.debug();
    d.noquote() << now_text().constData() << tag << message;
}
} // namespace

void log_write(int code, const QString& message)
{
    write_coded(code, message);
}

void log_write(int code, const QByteArray& message)
{
    write_coded(code, QString::fromUtf8(message));
}

void log_write(int code, const char* message)
{
    write_coded(code, QString::fromUtf8(message));
}

QString log_cut(const QString& text, int max)
{
    if (text.size() <= max)
        return text;
    return text.left(max) + QStringLiteral("... (cut, %1 characters in all)").arg(text.size());
}

QByteArray log_cut(const QByteArray& bytes, int max)
{
    if (bytes.size() <= max)
        return bytes;
    return bytes.left(max) + "... (cut, " + QByteArray::number(bytes.size()) + " bytes in all)";
}

QStringList log_id_ranges(const QStringList& ids, int width)
{
    // (prefix, number) of each id; one without trailing digits (or too many of them) stands alone.
    struct id_parts
    {
        QString prefix;
        qint64 number;
        bool operator<(const id_parts& o) const
        {
            return prefix != o.prefix ? prefix < o.prefix : number < o.number;
        }
    };
    std::vector<id_parts> parts;
    parts.reserve(size_t(ids.size()));
    for (const QString& id : ids) {
        int digits = 0;
        while (digits < id.size() && id.at(id.size() - 1 - digits).isDigit())
            ++digits;
        bool ok = digits > 0 && digits <= 18;
        const qint64 n = ok ? id.rightRef(digits).toLongLong(&ok) : -1;
        parts.push_back(ok ? id_parts{id.left(id.size() - digits), n} : id_parts{id, -1});
    }
    std::sort(parts.begin(), parts.end());
    parts.erase(std::unique(parts.begin(), parts.end(),
                            [](const id_parts& a, const id_parts& b) {
                                return a.prefix == b.prefix && a.number == b.number;
                            }),
                parts.end());
    QStringList items;
    for (size_t i = 0; i < parts.size();) {
        size_t j = i;
        if (parts[i].number >= 0)
            while (j + 1 < parts.size() && parts[j + 1].prefix == parts[i].prefix &&
                   parts[j + 1].number == parts[j].number + 1)
                ++j;
        const QString first =
            parts[i].number < 0 ? parts[i].prefix : parts[i].prefix + QString::number(parts[i].number);
        items << (j == i ? first : first + QLatin1Char('-') + QString::number(parts[j].number));
        i = j + 1;
    }
    QStringList pieces;
    QString piece;
    for (const QString& item : qAsConst(items)) {
        if (!piece.isEmpty() && piece.size() + 1 + item.size() > width) {
            pieces << piece;
            piece.clear();
        }
        if (!piece.isEmpty()) piece += QLatin1Char(' ');
        piece += item;
    }
    if (!piece.isEmpty()) pieces << piece;
    return pieces;
}

QStringList log_id_lines(const QStringList& ids)
{
    QStringList lines = log_id_ranges(ids);
    if (lines.size() > 1)
        for (int i = 0; i < lines.size(); ++i)
            lines[i] += QStringLiteral(" (%1 of %2)").arg(i + 1).arg(lines.size());
    return lines;
}
