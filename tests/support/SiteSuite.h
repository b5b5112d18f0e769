#pragma once

// A suite against the stand-in site on loopback: the site started once for the whole suite with
// one account and its files in a folder of the suite's own, and every test starting with no
// fault set and an empty journal, whatever the test before it left behind.

#include "StandInSite.h"

#include <QObject>
#include <QTemporaryDir>

namespace standin {

class SiteSuite : public QObject {
    Q_OBJECT
public:
    // A suite whose tests depend on how the account is spelt (escapes on the wire, a password
    // beyond ASCII) names its own.
    explicit SiteSuite(QString email = QStringLiteral("ana@example.org"),
                       QString password = QStringLiteral("right+pass"));

private:
    QTemporaryDir mData;

protected:
    const QString kEmail;
    const QString kPassword;
    std::unique_ptr<nubelo::site::Site> mSite;

    // QtTest finds these by name in the derived suite, and runs only private slots as tests;
    // protected, so that a suite with more to do in its own init() calls this one first.
protected Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();
};

} // namespace standin
