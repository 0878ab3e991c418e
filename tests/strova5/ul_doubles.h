#pragma once
// Stand-ins for the decoder's neighbours: a storage that records the answered commands, and
// a registry filled by the test.

#include "ram_modems.h"
#include "sql_exchange.h"

#include <QList>

class Recording_storage : public SQL_Exchange
{
public:
    Recording_storage() : SQL_Exchange(QVariantMap(), nullptr) {}

    QList<Rabbit_dl_status> statuses;

    bool init() override { return true; }
    QVariantMap send_dl(uint32_t, QStringList, QString, QVariant) override { return QVariantMap(); }
    QVariantMap send_dl(QList<uint32_t>, QStringList, QString, QVariant) override { return {}; }
    void remove_old(uint8_t, uint32_t) override {}
    QMap<uint32_t, QVariantMap> get_pending_settings() override { return {}; }
    void slot_UL(Parser_ul_app) override {}
    void slot_DL_status(Rabbit_dl_status status) override { statuses.append(status); }
    void slot_loader_req(uint32_t, uint8_t, uint32_t) override {}
};
