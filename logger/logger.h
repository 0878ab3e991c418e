#pragma once
// Process-wide logger: one line per call (time, level tag, source position, message),
// written by a Qt message handler into rotating files.

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QString>
#include <QStringList>
#include <atomic>

enum log_levels : int { LVL_OFF = 0, LVL_EXC = 1, LVL_ERR = 2, LVL_WRN = 3, LVL_NTC = 4, LVL_DBG = 5, LVL_TRC = 6 };

namespace log_detail {
extern std::atomic<int> level;
// Milliseconds between two looks at the system's time zone (60000); tests shorten it.
extern std::atomic<qint64> zone_check_ms;
// Opens the debug stream of a call site whose level test passed; the stream already holds
// the time, the tag and the source position.
QDebug line(int lvl, const char* file, int lineNo);
} // namespace log_detail

inline bool log_passes(int lvl)
{
    return log_detail::level.load(std::memory_order_relaxed) >= lvl;
}

// The logging call: a level test, then one line. Usage: LOG_WRN << "ram created";
// A loop of at most one pass rather than if/else, so that the call can stand unbraced under
// an `if` of the caller without capturing its `else`.
#define STROVA_LOG(lvl) \
    for (bool strova_log_once_ = log_passes(lvl); strova_log_once_; strova_log_once_ = false) \
        log_detail::line(lvl, __FILE__, __LINE__)
#define LOG_EXC STROVA_LOG(LVL_EXC)
#define LOG_ERR STROVA_LOG(LVL_ERR)
#define LOG_WRN STROVA_LOG(LVL_WRN)
#define LOG_NTC STROVA_LOG(LVL_NTC)
#define LOG_DBG STROVA_LOG(LVL_DBG)
#define LOG_TRC STROVA_LOG(LVL_TRC)

void log_init(const QString& path, unsigned level);
void log_init(const char* path, unsigned level);
bool log_open_file();
void log_close();
void log_set_max_file_size(qint64 bytes);
void log_set_max_file_count(int count);
void log_set_rotation(qint64 kib, int count);
void log_set_level(int level);
int log_get_level();
QString log_directory();
QString log_base_name();
bool log_is_enabled();
bool log_is_handler_installed();
void log_reinit(const QString& path, unsigned level);
void log_reinit(const char* path, unsigned level);
void log_deinit();
void log_install_handler();
void log_remove_handler();
void log_message_handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
void log_split_path(QString& directory, QString& base_name);
void log_remove_old_files(const QDir& directory, const QString& base_name);
// While deferred, opening a file deletes no older ones; ending the deferral does what was
// deferred. Start-up defers until it succeeded, so that a start that fails deletes nothing.
void log_defer_pruning(bool defer);
QString app_executable_path();

// The logging call as a function, without a source position; code = level * 16 (65 Inf, 97 no tag).
void log_write(int code, const QString& message);
void log_write(int code, const QByteArray& message);
void log_write(int code, const char* message);

// Text that came from outside (request lines, query items, uplink bodies, frames) is cut to
// this many characters in a log line, so that no client can fill the log or push its history
// out through rotation. The cut text says so and gives the full length.
constexpr int log_outside_max = 1024;
QString log_cut(const QString& text, int max = log_outside_max);

// Evidence of data lost or not sent is never cut: the ids ("drvStrova5_17"), sorted, each run of
// numbers after one prefix as a range ("drvStrova5_17-4016"), in pieces of at most `width`
// characters, each piece for a line of its own.
QStringList log_id_ranges(const QStringList& ids, int width = log_outside_max);
// The same pieces, each ending in " (2 of 3)" when there are several: one log line each.
QStringList log_id_lines(const QStringList& ids);
QByteArray log_cut(const QByteArray& bytes, int max = log_outside_max);
