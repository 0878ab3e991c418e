#pragma once
// Storage of readings, events, settings and commands in MySQL.
//
// The interface the other components call; the operations they call are virtual so that
// tests can stand a double in its place.

#include "records.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

class SQL_Exchange : public QObject
{
    Q_OBJECT
public:
    static SQL_Exchange* instance;

    SQL_Exchange(QVariantMap cfg, QObject* parent) : QObject(parent), cfg(cfg) { instance = this; }
    ~SQL_Exchange() override
    {
        if (instance == this)
            instance = nullptr;
    }

    virtual bool init() = 0;
    virtual QVariantMap send_dl(uint32_t modem_id, QStringList rights, QString setting, QVariant data) = 0;
    virtual void send_dl(QList<uint32_t> modems, QStringList rights, QString setting, QVariant data) = 0;
    virtual void remove_old(uint8_t type, uint32_t time) = 0;
    virtual QMap<uint32_t, QVariantMap> get_pending_settings() = 0;

signals:
    void signal_DL(Stringify_dl_app dl_app);
    void signal_modem_index_updated(uint32_t modem_id);
    void signal_remove_tail(uint32_t modem_id);

public slots:
    virtual void slot_UL(Parser_ul_app ul_parse) = 0;
    virtual void slot_DL_status(Rabbit_dl_status dl_status) = 0;
    virtual void slot_loader_req(uint32_t modem_id, uint8_t type, uint32_t limit) = 0;

protected:
    QVariantMap cfg;
};
