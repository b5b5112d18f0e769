#include "Keychain.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <libsecret/secret.h>

#include <cstdio>
#include <cstring>

// Against the throwaway keyring of keyring-session.sh: a daemon of its own, deleted afterwards,
// so every row stores under a service of its own and nothing is cleaned up. Nothing unlocks the
// keyring once locked: the tests that lock it come last.

using namespace std::chrono_literals;
namespace St = KeychainStatus;

namespace {

const QString kLoneHigh = QString(QChar(char16_t(0xD83D)));

// One call of a status row and what follows from it.
struct Call {
    QString what; // "add", "replace" or "delete"
    QString account, password;
    qint32 status;
    QString lookup, found; // an account looked up afterwards, and what that finds
    int items;             // the service's items afterwards
};

// The test's own look into the keyring: the labels of a service's items, by that attribute alone.
QStringList labelsOf(const QString &service) {
    static const SecretSchema byService = [] {
        SecretSchema s{};
        s.name = "tst_keychain.any";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    g_autoptr(GHashTable) attributes =
        secret_attributes_build(&byService, "service", service.toUtf8().constData(), nullptr);
    // Through the service, not secret_password_search_sync: that one leaks a little per item.
    g_autoptr(SecretService) secrets =
        secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
    g_autolist(GObject) found =
        secrets ? secret_service_search_sync(secrets, &byService, attributes, SECRET_SEARCH_ALL,
                                             nullptr, nullptr)
                : nullptr;
    QStringList labels;
    for (GList *l = found; l; l = l->next) {
        // The default collection: the session one is gone at the next login.
        if (g_str_has_prefix(g_dbus_proxy_get_object_path(G_DBUS_PROXY(l->data)),
                             "/org/freedesktop/secrets/collection/session"))
            continue;
        g_autofree gchar *label = secret_item_get_label(SECRET_ITEM(l->data));
        labels << QString::fromUtf8(label);
    }
    labels.sort();
    return labels;
}

bool lockKeyring() {
    g_autoptr(SecretService) service =
        secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
    g_autoptr(SecretCollection) c =
        service ? secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                   SECRET_COLLECTION_NONE, nullptr, nullptr)
                : nullptr;
    g_autoptr(GList) objects = g_list_append(nullptr, c);
    return c && secret_service_lock_sync(service, objects, nullptr, nullptr, nullptr) == 1;
}

// Takes the name of the desktop's prompter on the test bus and never answers a call: a prompt
// that shows nowhere and is never dismissed. Closing its connection ends the unanswered calls.
class SilentPrompter {
public:
    bool start() {
        mConnection = g_dbus_connection_new_for_address_sync(
            qgetenv("DBUS_SESSION_BUS_ADDRESS").constData(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        if (!mConnection)
            return false;
        // Every call that comes in is dropped unread, so none is ever answered.
        g_dbus_connection_add_filter(
            mConnection,
            [](GDBusConnection *, GDBusMessage *message, gboolean incoming,
               gpointer) -> GDBusMessage * {
                if (!incoming ||
                    g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
                    return message;
                g_object_unref(message);
                return nullptr;
            },
            nullptr, nullptr);
        g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
            mConnection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", "org.gnome.keyring.SystemPrompter", 4u),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        guint32 answer = 0; // 1: the primary owner
        if (reply)
            g_variant_get(reply, "(u)", &answer);
        return answer == 1;
    }
    ~SilentPrompter() {
        if (mConnection) {
            g_dbus_connection_close_sync(mConnection, nullptr, nullptr);
            g_object_unref(mConnection);
        }
    }

private:
    GDBusConnection *mConnection = nullptr;
};

// The three calls against whatever bus the environment names, run in a child process so that
// no connection of the test process is involved.
int childMain(const char *limitMs) {
    const auto limit = std::chrono::milliseconds(std::atoi(limitMs));
    KeychainLimits::setForTesting(limit, limit);
    Keychain keychain;
    const QString service = QStringLiteral("tst_keychain unreachable");
    const qint32 added = keychain.addGenericPassword("pw", "acct", service, false);
    const QString found = keychain.findGenericPasswordForAccount("acct", service);
    const qint32 deleted = keychain.deleteItemForAccount("acct", service);
    std::printf("add=%d find=%s delete=%d\n", added, qPrintable(found), deleted);
    return 0;
}

} // namespace

Q_DECLARE_METATYPE(Call)

class TestKeychain : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        // Only ever the throwaway keyring of keyring-session.sh, never the user's own.
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        const QString sandbox = qEnvironmentVariable("NUBELO_KEYRING_SANDBOX");
        if (bus.isEmpty() || bus != qgetenv("NUBELO_KEYRING_BUS") || sandbox.isEmpty() ||
            !QDir::homePath().startsWith(sandbox))
            QFAIL("not on a private keyring bus: run through tests/keychain/keyring-session.sh");
    }
    void cleanup() { KeychainLimits::setForTesting(-1ms, -1ms); }

    // Each row stores "first" for "ana", then makes one call (add, replace, delete) and looks up
    // one account; the account "absent" stands for "ana" under a null service.
    void statuses_data() {
        QTest::addColumn<Call>("c");
        const QString beyondAscii = QString::fromUtf8("pässwörd €\xF0\x9F\x98\x80");
        const QString ana = QStringLiteral("ana");
        const auto row = [](const char *name, const Call &call) {
            QTest::newRow(name) << call;
        };
        row("add again keeps the first",
            {"add", ana, "second", St::DuplicateItem, ana, "first", 1});
        row("replace, another password", {"replace", ana, "second", St::Success, ana, "second", 1});
        row("replace, the same password", {"replace", ana, "first", St::Success, ana, "first", 1});
        row("delete", {"delete", ana, {}, St::Success, ana, "", 0});
        row("delete of nothing", {"delete", "bo", {}, St::ItemNotFound, "bo", "", 1});
        row("password above U+007F",
            {"add", "jörg", beyondAscii, St::Success, "jörg", beyondAscii, 2});
        row("password up to U+0000",
            {"add", "bo", QString::fromUtf16(u"abc\0def", 7), St::Success, "bo", "abc", 2});
        row("account up to U+0000", {"add", QString::fromUtf16(u"bo\0one", 6), "pw", St::Success,
                                     QString::fromUtf16(u"bo\0two", 6), "pw", 2});
        row("empty account is not absent", {"add", "", "pw", St::Success, "", "pw", 2});
        row("empty password", {"add", "bo", "", St::Success, "bo", "", 2});
        // Regression: an absent password, account or service used to report success.
        row("absent password", {"replace", ana, QString(), St::BadParameter, ana, "first", 1});
        row("absent account", {"replace", QString(), "new", St::BadParameter, ana, "first", 1});
        row("absent account, delete", {"delete", QString(), {}, St::BadParameter, ana, "first", 1});
        row("absent service", {"replace", "absent", "new", St::BadParameter, ana, "first", 1});
        row("absent service, delete", {"delete", "absent", {}, St::BadParameter, ana, "first", 1});
        // No UTF-8 form: never stored as a different password.
        row("password with unpaired surrogate",
            {"replace", ana, "a" + kLoneHigh, St::BadParameter, ana, "first", 1});
        row("account with unpaired surrogate",
            {"add", kLoneHigh, "new", St::BadParameter, ana, "first", 1});
    }

    void statuses() {
        QFETCH(Call, c);
        const QString service = "tst_keychain " + QString::fromUtf8(QTest::currentDataTag());
        QCOMPARE(keychain.addGenericPassword("first", "ana", service, false), St::Success);
        QCOMPARE(labelsOf(service), QStringList{service + " (ana)"});

        const bool absent = c.account == QLatin1String("absent");
        const QString account = absent ? QStringLiteral("ana") : c.account;
        const QString target = absent ? QString() : service;
        QCOMPARE(
            c.what == QLatin1String("delete")
                ? keychain.deleteItemForAccount(account, target)
                : keychain.addGenericPassword(c.password, account, target, c.what == "replace"),
            c.status);
        QCOMPARE(keychain.findGenericPasswordForAccount(c.lookup, service), c.found);
        QCOMPARE(labelsOf(service).size(), c.items);
    }

    // Nothing here can show a prompt: whatever needs the keyring open gives up, and promptly.
    void lockedKeyringAnswersPromptly() {
        const QString service = QStringLiteral("tst_keychain locked");
        QCOMPARE(keychain.addGenericPassword("pw", "ana", service, false), St::Success);
        QVERIFY(lockKeyring());

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(keychain.addGenericPassword("pw", "bo", service, false), St::AuthFailed);
        QCOMPARE(keychain.addGenericPassword("new", "ana", service, true), St::AuthFailed);
        QCOMPARE(keychain.addGenericPassword("new", "ana", service, false), St::DuplicateItem);
        QCOMPARE(keychain.findGenericPasswordForAccount("ana", service), QString(""));
        QCOMPARE(keychain.deleteItemForAccount("ana", service), St::AuthFailed);
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(labelsOf(service).size(), 1);
    }

    // A socket that takes connections (into its backlog) and never says a word. (An address
    // with no bus at all is the command line's --remember row.)
    void unreachableService() {
        QTemporaryDir dir;
        const int limitMs = 300;
        QLocalServer silent;
        QVERIFY(silent.listen(dir.filePath("silent")));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.filePath("silent"));
        QProcess child;
        child.setProcessEnvironment(env);
        QElapsedTimer clock;
        clock.start();
        child.start(QCoreApplication::applicationFilePath(),
                    {"--keychain-child", QString::number(limitMs)});
        const bool finished = child.waitForFinished(30000);
        const qint64 elapsed = clock.elapsed();

        QVERIFY(finished);
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.readAllStandardOutput().trimmed(),
                 QByteArray("add=-25291 find= delete=-25291"));
        // Three calls, each within its deadline and the wind-down of a cancelled call.
        QVERIFY2(elapsed < 3 * (limitMs + 1000) + 2000, qPrintable(QString::number(elapsed)));
    }

    // Keep last: the prompt it leaves standing is the daemon's until the prompter goes.
    void unansweredPromptIsCutOff() {
        const QString service = QStringLiteral("tst_keychain unanswered");
        SilentPrompter prompter;
        QVERIFY(prompter.start());
        QVERIFY(lockKeyring());
        KeychainLimits::setForTesting(10s, 300ms);

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(keychain.addGenericPassword("pw", "ana", service, false), St::AuthFailed);
        const qint64 elapsed = clock.elapsed();
        // It did wait on the prompt, then no longer than the deadline and some slack.
        QVERIFY2(elapsed >= 300 && elapsed < 300 + 1500, qPrintable(QString::number(elapsed)));
    }

private:
    Keychain keychain;
};

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--keychain-child") == 0)
        return childMain(argv[2]);
    QCoreApplication app(argc, argv);
    TestKeychain test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_keychain.moc"
