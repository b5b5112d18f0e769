#include "SiteSuite.h"

#include <QTest>

namespace standin {

SiteSuite::SiteSuite(QString email, QString password)
    : kEmail(std::move(email))
    , kPassword(std::move(password)) {}

void SiteSuite::initTestCase() {
    std::string why;
    mSite = startSite(mData.path(), kEmail, kPassword, &why);
    QVERIFY2(mSite, why.c_str());
}

void SiteSuite::init() {
    mSite->clearFaults();
    mSite->clearJournal();
}

void SiteSuite::cleanupTestCase() {
    mSite.reset();
}

} // namespace standin
