#pragma once
// What the configuration file may hold: every key the daemon reads, in one list, so that a
// misspelt or obsolete key is named at start instead of being ignored without a word.

#include <QString>
#include <QStringList>
#include <QVariantMap>

// A switch key counts when present with a value other than false, 0 or null: writing
// "diagnostics": false switches the reports off, as a reader of the file would expect.
bool config_switch(const QVariantMap& section, const QString& key);

// The keys of `config` the daemon does not read, as dotted paths ("api.whitelist_modems"), each
// with the nearest known key when one is close (" (did you mean api.whilelist_modems?)").
QStringList config_unknown_keys(const QVariantMap& config);
