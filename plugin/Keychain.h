#pragma once

#include <QString>
#include <QtGlobal>

// A generic-password store over the user's keyring (the Secret Service).
class Keychain {
public:
    qint32 addGenericPassword(const QString &password, const QString &account,
                              const QString &service, bool replaceExisting);
    QString findGenericPasswordForAccount(const QString &account, const QString &service);
    qint32 deleteItemForAccount(const QString &account, const QString &service);
};
