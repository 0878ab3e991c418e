#include "api_controller.h"
#include "api_transparent_channel.h"
#include "config_keys.h"
#include "epoll_dispatcher.h"
#include "http_api_quill.h"
#include "iec104.h"
#include "httpsettings.h"
#include "logger.h"
#include "quit_signals.h"
#include "radio_exchange.h"
#include "ram_modems.h"
#include "records.h"
#include "sql_exchange.h"
#include "strova_controller.h"

#include "amqp_global.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QVariantMap>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

namespace {

// The exits after the log is open also say why on standard error, so that whoever started the
// daemon by hand or reads the service manager's journal sees it without opening the log.
void say_on_stderr(const QString& reason)
{
    const QString where =
        log_is_enabled() ? QStringLiteral(" (details in the log in %1)").arg(log_directory()) : QString();
    std::fprintf(stderr, "driver_strova5: %s%s\n", qUtf8Printable(reason), qUtf8Printable(where));
    std::fflush(stderr);
}

// Descriptors kept free for everything but the API's clients: the database and broker links
// when they reconnect, IEC 104 masters, the transparent channel's client, the log's next file.
constexpr rlim_t k_descriptor_reserve = 64;
// Opened by the start-up after the fit: the listeners of the API, IEC 104 and the channel, the
// channel's UDP socket and the broker's links.
constexpr rlim_t k_descriptor_startup = 16;
// Beyond this a higher hard limit is not taken: nothing here needs more.
constexpr rlim_t k_descriptor_ceiling = 65536;

// Descriptors open now, 0 when they cannot be counted.
rlim_t open_descriptors()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    const int n =
        fds.exists() ? fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size() : 0;
    // The listing held one of its own while it read.
    return rlim_t(std::max(0, n - 1));
}

// Takes the hard descriptor limit (up to the ceiling) and fits what the API's clients can hold in
// what it allows less the descriptors open now, the rest of the start-up and the reserve: a
// connection or a refusal holds one, a multipart upload two more (its spool and the file part
// being written). So the longest-waiting client is pushed out, or an upload gets a 503, before
// the descriptors run out, and the database can always reconnect.
void fit_descriptors(QuillonHttpd::HttpSettings* http)
{
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        LOG_ERR << "descriptors: the limit cannot be read:" << std::strerror(errno);
        return;
    }
    const rlim_t before = lim.rlim_cur;
    const rlim_t wanted =
        lim.rlim_max == RLIM_INFINITY ? k_descriptor_ceiling : std::min(lim.rlim_max, k_descriptor_ceiling);
    if (wanted > lim.rlim_cur) {
        lim.rlim_cur = wanted;
        if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) lim.rlim_cur = before;
    }
    const rlim_t own = open_descriptors() + k_descriptor_startup;
    // One text, so that the stream puts no blanks before the commas nor quotes around the limit.
    LOG_WRN << qPrintable(
        QStringLiteral("descriptors: limit %1 (was %2, hard limit %3), the daemon's own %4, kept free %5")
            .arg(qulonglong(lim.rlim_cur))
            .arg(qulonglong(before))
            .arg(lim.rlim_max == RLIM_INFINITY ? QStringLiteral("unlimited") : QString::number(lim.rlim_max))
            .arg(qulonglong(own))
            .arg(qulonglong(k_descriptor_reserve)));
    const rlim_t needed = k_descriptor_reserve + own + rlim_t(http->maxConnections) +
                          rlim_t(http->headerPlaces) + rlim_t(http->maxRefusals) +
                          2 * rlim_t(http->maxSpools);
    if (lim.rlim_cur >= needed) return;
    const rlim_t kept = k_descriptor_reserve + own;
    qint32 room = lim.rlim_cur > kept + 16 ? qint32(lim.rlim_cur - kept) : 16;
    http->maxSpools = std::max<qint32>(1, std::min<qint32>(http->maxSpools, room / 16));
    room -= 2 * http->maxSpools + http->headerPlaces;
    http->maxConnections = std::max<qint32>(8, room / 2);
    http->maxRefusals = std::max<qint32>(0, room - http->maxConnections);
    LOG_WRN << "descriptors short: the limit of" << qulonglong(lim.rlim_cur) << "is below the"
            << qulonglong(needed) << "the daemon needs; the API now serves at most" << http->maxConnections
            << "clients, refuses" << http->maxRefusals << "more at once and takes" << http->maxSpools
            << "multipart uploads at once (raise LimitNOFILE)";
}

// The log's last line, written once every component is gone: their destructors may still name
// what they could not store. It names the status the shell and the service manager see (main's
// -3 and -4 reach them as 253 and 252), with main's own value beside it where the two differ.
struct stop_line
{
    bool armed = false;
    int code = 0;
    ~stop_line()
    {
        if (armed) LOG_WRN << qPrintable(text(code));
    }
    static QString text(int code)
    {
        const int status = code & 0xff;
        QString line = QStringLiteral("driver_strova5 stopped, exit code %1").arg(status);
        if (status != code) line += QStringLiteral(" (%1)").arg(code);
        return line;
    }
};

} // namespace

int main(int argc, char* argv[])
{
    // Qt's own event dispatcher instead of GLib's: every queued signal (several per uplink) makes
    // GLib's wake its own thread with a system call, Qt's only once until the loop runs again.
    qputenv("QT_NO_GLIB", "1");
    // The main thread holds every client connection: an epoll loop costs what is ready on a pass,
    // where poll() would walk all of them each time.
    auto* dispatcher = new EpollDispatcher;
    if (dispatcher->isValid())
        QCoreApplication::setEventDispatcher(dispatcher);
    else
        delete dispatcher;
    stop_line stopped; // outlives the application object and every component
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0-6"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Tarvik Driver Strova v5"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption opt_config(QStringLiteral("c"), QCoreApplication::translate("main", "configuration file"),
                                        QCoreApplication::translate("main", "file"),
                                        QStringLiteral("/etc/driver_strova5/driver_strova5.json"));
    const QCommandLineOption opt_log(QStringLiteral("l"), QCoreApplication::translate("main", "log file"),
                                     QCoreApplication::translate("main", "file"),
                                     QStringLiteral("/var/log/driver_strova5/driver_strova5.log"));
    parser.addOption(opt_config);
    parser.addOption(opt_log);
    parser.process(app);
    const QString config_path = parser.value(opt_config);
    const QString log_path = parser.value(opt_log);

    install_signal_handlers({SIGQUIT, SIGINT, SIGTERM, SIGHUP}, {});
    register_record_metatypes();

    QFile config_file(config_path);
    if (!config_file.open(QIODevice::ReadOnly)) {
        LOG_EXC << "no file settings" << config_path;
        return -1;
    }
    const QVariantMap config = QJsonDocument::fromJson(config_file.readAll()).toVariant().toMap();
    config_file.close();
    if (config.isEmpty()) {
        LOG_EXC << "empty settings";
        return -2;
    }

    // Earlier runs' files are pruned only once the start succeeded: a start that fails (a second
    // daemon started by mistake) deletes nothing.
    log_defer_pruning(true);
    log_init(log_path, config.value(QStringLiteral("log_level"), 5).toUInt());
    log_set_max_file_size(20971520);
    stopped.armed = true;
    // The quit and its cause in the log too, before any work of the quit is said.
    add_quit_hook(
        [] {
            LOG_WRN << qPrintable(
                QStringLiteral("quit the application (user request signal = %1).").arg(quit_signal_number()));
        },
        quit_stage_stop_input);
    const QStringList unknown = config_unknown_keys(config);
    if (!unknown.isEmpty())
        LOG_WRN << "configuration keys not read by the daemon, ignored:"
                << qPrintable(unknown.join(QStringLiteral(", ")));
    // The AMQP library's reasons for a lost connection belong in our log at its levels.
    AMQP::setLogHandler([](int level, const QString& message) { log_write(level * 16, message); });

    new RAM_modems(config.value(QStringLiteral("RAM")).toMap(), &app);
    LOG_WRN << "ram created";

    new strova_controller(config.value(QStringLiteral("strova_controller")).toMap(), &app);
    LOG_WRN << "controller created";

    new SQL_Exchange(config.value(QStringLiteral("sql")).toMap(), &app);
    // The start waits here for a table locked elsewhere; a termination signal meanwhile is a quit.
    if (!SQL_Exchange::instance->init()) {
        if (quit_signal_number()) return stopped.code = 0;
        LOG_EXC << "no sql connect";
        // The connection settings as the storage read them, defaults included.
        const QSqlDatabase tried = SQL_Exchange::add_connection(config.value(QStringLiteral("sql")).toMap(),
                                                                QStringLiteral("exit_reason"));
        say_on_stderr(
            QStringLiteral("no sql connect: database \"%1\" on %2:%3 as \"%4\" cannot be opened or its "
                           "tables are not usable: %5")
                .arg(tried.databaseName(), tried.hostName())
                .arg(tried.port())
                .arg(tried.userName(), SQL_Exchange::last_error_text()));
        return stopped.code = -3;
    }
    LOG_WRN << "sql created";

    QObject::connect(SQL_Exchange::instance, &SQL_Exchange::signal_modem_index_updated, strova_controller::instance,
                     &strova_controller::slot_modem_index_updated, Qt::QueuedConnection);

    // The registry whole or no start: the stored settings' read waits out a lost link and a lock.
    if (!RAM_modems::instance->load_settings()) {
        if (quit_signal_number()) return stopped.code = 0;
        LOG_EXC << "no sql connect";
        say_on_stderr(QStringLiteral("no sql connect: the stored settings cannot be read: %1")
                          .arg(SQL_Exchange::last_error_text()));
        return stopped.code = -3;
    }
    strova_controller::instance->load_driver_settings();

    new Radio_Exchange(config.value(QStringLiteral("rabbit")).toMap(), &app);
    QObject::connect(SQL_Exchange::instance, &SQL_Exchange::signal_DL, Radio_Exchange::instance,
                     &Radio_Exchange::slot_DL, Qt::QueuedConnection);
    QObject::connect(Radio_Exchange::instance, &Radio_Exchange::signal_UL, SQL_Exchange::instance,
                     &SQL_Exchange::slot_UL, Qt::QueuedConnection);
    QObject::connect(Radio_Exchange::instance, &Radio_Exchange::signal_UL, strova_controller::instance,
                     &strova_controller::slot_UL, Qt::QueuedConnection);
    // At the storage's cap the uplinks wait in the broker instead of in memory.
    QObject::connect(SQL_Exchange::instance, &SQL_Exchange::signal_intake, Radio_Exchange::instance,
                     [](bool open) { Radio_Exchange::instance->take_uplinks(open); });
    QObject::connect(SQL_Exchange::instance, &SQL_Exchange::signal_DL, strova_controller::instance,
                     &strova_controller::slot_DL, Qt::QueuedConnection);
    QObject::connect(Radio_Exchange::instance, &Radio_Exchange::signal_DL_status, SQL_Exchange::instance,
                     &SQL_Exchange::slot_DL_status, Qt::QueuedConnection);
    QObject::connect(strova_controller::instance, &strova_controller::signal_stringify, Radio_Exchange::instance,
                     &Radio_Exchange::slot_rabbit_DL, Qt::QueuedConnection);
    LOG_WRN << "rabbit created";

    new API_controller(config.value(QStringLiteral("api")).toMap(), &app);
    LOG_WRN << "web created";

    auto* http_settings = new QuillonHttpd::HttpSettings(&app);
    http_settings->port = qint32(config.value(QStringLiteral("api")).toMap().value(QStringLiteral("port"), 10022).toUInt());
    // A few connections beyond the slots read their headers: an operator's request is seen while
    // anonymous clients hold every slot.
    http_settings->headerPlaces = 8;
    fit_descriptors(http_settings);
    http_api_quill http_server(http_settings, &app);
    if (!http_server.start()) {
        // The listener's reason: the address in use, or a port below 1024 without the right.
        const QString why =
            http_server.getTcpServer() ? http_server.getTcpServer()->errorString() : QString();
        const QString reason =
            QStringLiteral("api can't start: port %1 cannot be bound: %2").arg(http_settings->port).arg(why);
        LOG_EXC << qPrintable(reason);
        say_on_stderr(reason);
        return stopped.code = -4;
    }
    LOG_WRN << "http created";
    // Before the quit may wait long for the database on the main thread, the API takes no new
    // client: a connection taken then would hang unanswered until the end, a closed port is
    // refused at once. Until then (the downlinks' flush) requests are still answered.
    const int http_quit_hook = add_quit_hook([&http_server] { http_server.close(); }, quit_stage_close_links);

    if (config_switch(config, QStringLiteral("iec104"))) {
        new IEC104(&app);
        QObject::connect(Radio_Exchange::instance, &Radio_Exchange::signal_UL, IEC104::instance, &IEC104::slot_UL,
                         Qt::QueuedConnection);
        // Said once the station listens, which may be a retry later when the port is taken.
        QObject::connect(IEC104::instance, &IEC104::signal_listening, [] { LOG_WRN << "104 created"; });
        IEC104::instance->start();
    }

    auto* channel = new API_transparent_channel(config.value(QStringLiteral("transparent_channel")).toMap(), &app);
    QObject::connect(Radio_Exchange::instance, &Radio_Exchange::signal_UL, channel, &API_transparent_channel::slot_UL,
                     Qt::QueuedConnection);
    QObject::connect(channel, &API_transparent_channel::signal_DL, Radio_Exchange::instance, &Radio_Exchange::slot_DL,
                     Qt::QueuedConnection);
    LOG_WRN << "hdlc transparent_channel created";

    log_defer_pruning(false);
    stopped.code = app.exec();
    remove_quit_hook(http_quit_hook); // the server goes with main
    return stopped.code;
}
