#include "Keychain.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <libsecret/secret.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>

using namespace std::chrono_literals;
namespace St = KeychainStatus;

namespace {

// Where a GLib call puts its error; a failure is logged with the test's output.
struct Err {
    GError *e = nullptr;
    ~Err() {
        if (e) {
            qWarning("%s", e->message);
            g_error_free(e);
        }
    }
};

// The test's own look into the throwaway keyring: items by their service attribute alone.
void forEachItemOf(const QString &service, const std::function<void(SecretItem *)> &fn) {
    static const SecretSchema byService = [] {
        SecretSchema s{};
        s.name = "tst_keychain.any";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    const QByteArray name = service.toUtf8();
    GHashTable *attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char *>("service"),
                        const_cast<char *>(name.constData()));
    Err err;
    SecretService *secrets = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &err.e);
    GList *found = secrets ? secret_service_search_sync(secrets, &byService, attributes,
                                                        SECRET_SEARCH_ALL, nullptr, &err.e)
                           : nullptr;
    g_hash_table_unref(attributes);
    if (secrets)
        g_object_unref(secrets);
    for (GList *l = found; l; l = l->next)
        fn(SECRET_ITEM(l->data));
    g_list_free_full(found, g_object_unref);
}

struct StoredItem {
    QString label;
    QString path;
};

QList<StoredItem> itemsOf(const QString &service) {
    QList<StoredItem> items;
    forEachItemOf(service, [&](SecretItem *item) {
        gchar *label = secret_item_get_label(item);
        items.append({QString::fromUtf8(label),
                      QString::fromUtf8(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)))});
        g_free(label);
    });
    return items;
}

SecretCollection *defaultCollection() {
    Err err;
    SecretService *service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &err.e);
    SecretCollection *c =
        service ? secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                   SECRET_COLLECTION_NONE, nullptr, &err.e)
                : nullptr;
    if (service)
        g_object_unref(service);
    return c;
}

QString defaultCollectionPath() {
    SecretCollection *c = defaultCollection();
    const QString path = c ? QString::fromUtf8(g_dbus_proxy_get_object_path(G_DBUS_PROXY(c))) : "";
    if (c)
        g_object_unref(c);
    return path;
}

bool lockDefaultCollection() {
    SecretCollection *c = defaultCollection();
    if (!c)
        return false;
    GList *objects = g_list_append(nullptr, c);
    Err err;
    const int locked = secret_service_lock_sync(secret_collection_get_service(c), objects, nullptr,
                                                nullptr, &err.e);
    g_list_free(objects);
    g_object_unref(c);
    return locked == 1;
}

GVariant *callKeyring(const char *interface, const char *method, GVariant *args,
                      const GVariantType *reply) {
    Err err;
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &err.e);
    GVariant *answer =
        bus ? g_dbus_connection_call_sync(bus, "org.freedesktop.secrets",
                                          "/org/freedesktop/secrets", interface, method, args,
                                          reply, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &err.e)
            : nullptr;
    if (bus)
        g_object_unref(bus);
    return answer;
}

// Unlocking through the service would need a prompt; the daemon's own interface for keyring
// managers takes the password directly, in a plain (unencrypted) transfer session.
bool unlockDefaultCollection() {
    const QByteArray collection = defaultCollectionPath().toUtf8();
    const QByteArray password = qgetenv("NUBELO_KEYRING_PASSWORD");
    GVariant *opened = callKeyring("org.freedesktop.Secret.Service", "OpenSession",
                                   g_variant_new("(sv)", "plain", g_variant_new_string("")),
                                   G_VARIANT_TYPE("(vo)"));
    if (collection.isEmpty() || !opened)
        return false;
    const gchar *session = nullptr;
    g_variant_get_child(opened, 1, "&o", &session);
    GVariant *unlocked = callKeyring(
        "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
        g_variant_new("(o(o@ay@ays))", collection.constData(), session,
                      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
                      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password.constData(),
                                                password.size(), 1),
                      "text/plain"),
        nullptr);
    g_variant_unref(opened);
    if (unlocked)
        g_variant_unref(unlocked);
    return unlocked != nullptr;
}

// Takes the name of the desktop's prompter on the test bus and never answers a call: a prompt
// that shows nowhere and is never dismissed. Closing its connection ends the unanswered calls.
class SilentPrompter {
public:
    bool start() {
        Err err;
        mConnection = g_dbus_connection_new_for_address_sync(
            qgetenv("DBUS_SESSION_BUS_ADDRESS").constData(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &err.e);
        if (!mConnection)
            return false;
        GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(
            "<node><interface name='org.gnome.keyring.internal.Prompter'>"
            "<method name='BeginPrompting'><arg type='o' direction='in'/></method>"
            "<method name='PerformPrompt'><arg type='o' direction='in'/>"
            "<arg type='s' direction='in'/><arg type='a{sv}' direction='in'/>"
            "<arg type='s' direction='in'/></method>"
            "<method name='StopPrompting'><arg type='o' direction='in'/></method>"
            "</interface></node>",
            &err.e);
        if (!node)
            return false;
        // Calls are dispatched on a context that nobody ever runs.
        g_main_context_push_thread_default(mUnrun);
        // Without a handler the connection would answer "unknown method" at once.
        static const GDBusInterfaceVTable vtable = {
            [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
               GVariant *, GDBusMethodInvocation *, gpointer) {},
            nullptr,
            nullptr,
            {}};
        const guint id = g_dbus_connection_register_object(
            mConnection, "/org/gnome/keyring/Prompter", node->interfaces[0], &vtable, nullptr,
            nullptr, &err.e);
        g_main_context_pop_thread_default(mUnrun);
        g_dbus_node_info_unref(node);
        if (!id)
            return false;
        GVariant *reply = g_dbus_connection_call_sync(
            mConnection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", "org.gnome.keyring.SystemPrompter", 4u),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &err.e);
        if (!reply)
            return false;
        guint32 answer = 0;
        g_variant_get(reply, "(u)", &answer);
        g_variant_unref(reply);
        return answer == 1; // primary owner
    }
    ~SilentPrompter() {
        if (mConnection) {
            g_dbus_connection_close_sync(mConnection, nullptr, nullptr);
            g_object_unref(mConnection);
        }
        g_main_context_unref(mUnrun);
    }

private:
    GDBusConnection *mConnection = nullptr;
    GMainContext *mUnrun = g_main_context_new();
};

// The three calls against whatever bus the environment names, run in a child process so that
// no connection of the test process is involved.
int childMain(const char *limitMs) {
    const auto limit = std::chrono::milliseconds(std::atoi(limitMs));
    KeychainLimits::setForTesting(limit, limit);
    Keychain keychain;
    const QString service = QStringLiteral("tst_keychain unreachable");
    const qint32 added =
        keychain.addGenericPassword(QStringLiteral("pw"), QStringLiteral("acct"), service, false);
    const QString found = keychain.findGenericPasswordForAccount(QStringLiteral("acct"), service);
    const qint32 deleted = keychain.deleteItemForAccount(QStringLiteral("acct"), service);
    std::printf("add=%d find=%s delete=%d\n", added, qPrintable(found), deleted);
    return 0;
}

// A listening socket that takes connections and never says a word.
int silentSocket(const QString &path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(),
                std::min<size_t>(name.size(), sizeof address.sun_path - 1));
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

const QString kLoneHigh = QString(QChar(char16_t(0xD83D)));

} // namespace

class TestKeychain : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();

    void addingAgain_data();
    void addingAgain();
    void badArgumentsTouchNothing_data();
    void badArgumentsTouchNothing();
    void valuesRoundTrip_data();
    void valuesRoundTrip();
    void deleteThenFind();
    void itemShowsUnderReadableLabel();
    void lockedKeyringAnswersPromptly();
    void unansweredPromptIsCutOff();
    void unreachableService_data();
    void unreachableService();

private:
    QString serviceFor(const char *tag);
    void lockKeyring();

    Keychain keychain;
    QStringList services;
    int serial = 0;
    bool locked = false;
};

void TestKeychain::initTestCase() {
    // Only ever the throwaway keyring of keyring-session.sh, never the user's own.
    const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const QString sandbox = qEnvironmentVariable("NUBELO_KEYRING_SANDBOX");
    if (bus.isEmpty() || bus != qgetenv("NUBELO_KEYRING_BUS") || sandbox.isEmpty() ||
        !QDir::homePath().startsWith(sandbox))
        QFAIL("not on a private keyring bus: run through tests/keychain/keyring-session.sh");
}

QString TestKeychain::serviceFor(const char *tag) {
    const QString service = QStringLiteral("tst_keychain %1 %2 %3")
                                .arg(QCoreApplication::applicationPid())
                                .arg(QString::fromUtf8(tag))
                                .arg(++serial);
    services.append(service);
    return service;
}

void TestKeychain::lockKeyring() {
    QVERIFY(lockDefaultCollection());
    locked = true;
}

void TestKeychain::cleanup() {
    KeychainLimits::setForTesting(-1ms, -1ms);
    if (locked) {
        QVERIFY(unlockDefaultCollection());
        locked = false;
    }
    // Every item of this run, whatever the store under test left behind.
    for (const QString &service : std::as_const(services)) {
        forEachItemOf(service, [](SecretItem *item) {
            Err err;
            secret_item_delete_sync(item, nullptr, &err.e);
        });
        QVERIFY2(itemsOf(service).isEmpty(), qPrintable(service));
    }
    services.clear();
}

void TestKeychain::addingAgain_data() {
    QTest::addColumn<bool>("replace");
    QTest::addColumn<QString>("password");
    QTest::addColumn<qint32>("status");
    QTest::addColumn<QString>("found");
    QTest::newRow("without replace keeps the first")
        << false << QString("second") << St::DuplicateItem << QString("first");
    QTest::newRow("replace with a different password")
        << true << QString("second") << St::Success << QString("second");
    QTest::newRow("replace with the same password")
        << true << QString("first") << St::Success << QString("first");
}

void TestKeychain::addingAgain() {
    QFETCH(bool, replace);
    QFETCH(QString, password);
    QFETCH(qint32, status);
    QFETCH(QString, found);
    const QString service = serviceFor("again");
    QCOMPARE(keychain.addGenericPassword("first", "ana", service, false), St::Success);
    QCOMPARE(keychain.addGenericPassword(password, "ana", service, replace), status);
    QCOMPARE(keychain.findGenericPasswordForAccount("ana", service), found);
    QCOMPARE(itemsOf(service).size(), 1);
}

void TestKeychain::badArgumentsTouchNothing_data() {
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("account");
    QTest::addColumn<bool>("serviceAbsent");
    // Regression: an absent password, account or service used to report success.
    QTest::newRow("absent password") << QString() << QString("ana") << false;
    QTest::newRow("absent account") << QString("new") << QString() << false;
    QTest::newRow("absent service") << QString("new") << QString("ana") << true;
    QTest::newRow("password with unpaired surrogate") << QString("a" + kLoneHigh) << "ana" << false;
    QTest::newRow("account with unpaired surrogate") << QString("new") << kLoneHigh << false;
}

void TestKeychain::badArgumentsTouchNothing() {
    QFETCH(QString, password);
    QFETCH(QString, account);
    QFETCH(bool, serviceAbsent);
    const QString service = serviceFor("bad");
    QCOMPARE(keychain.addGenericPassword("kept", "ana", service, false), St::Success);

    const QString target = serviceAbsent ? QString() : service;
    QCOMPARE(keychain.addGenericPassword(password, account, target, true), St::BadParameter);
    if (account != QLatin1String("ana") || serviceAbsent) {
        QCOMPARE(keychain.findGenericPasswordForAccount(account, target), QString(""));
        QCOMPARE(keychain.deleteItemForAccount(account, target), St::BadParameter);
    }

    QCOMPARE(itemsOf(service).size(), 1);
    QCOMPARE(keychain.findGenericPasswordForAccount("ana", service), QString("kept"));
}

void TestKeychain::valuesRoundTrip_data() {
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("lookupAccount");
    QTest::addColumn<QString>("expected");
    const QString beyondAscii = QString::fromUtf8("pässwörd €\xF0\x9F\x98\x80");
    QTest::newRow("password above U+007F") << "jörg" << beyondAscii << "jörg" << beyondAscii;
    QTest::newRow("password holding U+0000")
        << "ana" << QString::fromUtf16(u"abc\0def", 7) << "ana" << QString("abc");
    QTest::newRow("account holding U+0000") << QString::fromUtf16(u"ana\0one", 7) << "pw"
                                            << QString::fromUtf16(u"ana\0two", 7) << QString("pw");
    QTest::newRow("empty account is not absent") << ""
                                                 << "pw"
                                                 << "" << QString("pw");
    QTest::newRow("empty password") << "ana"
                                    << ""
                                    << "ana" << QString("");
}

void TestKeychain::valuesRoundTrip() {
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(QString, lookupAccount);
    QFETCH(QString, expected);
    const QString service = serviceFor("values");
    QCOMPARE(keychain.addGenericPassword(password, account, service, false), St::Success);
    QCOMPARE(keychain.findGenericPasswordForAccount(lookupAccount, service), expected);
    QCOMPARE(keychain.addGenericPassword("other", lookupAccount, service, false),
             St::DuplicateItem);
}

void TestKeychain::deleteThenFind() {
    const QString service = serviceFor("delete");
    QCOMPARE(keychain.findGenericPasswordForAccount("ana", service), QString(""));
    QCOMPARE(keychain.deleteItemForAccount("ana", service), St::ItemNotFound);
    QCOMPARE(keychain.addGenericPassword("pw", "ana", service, false), St::Success);
    QCOMPARE(keychain.addGenericPassword("pw", "bo", service, false), St::Success);
    QCOMPARE(keychain.deleteItemForAccount("ana", service), St::Success);
    QCOMPARE(keychain.findGenericPasswordForAccount("ana", service), QString(""));
    QCOMPARE(keychain.deleteItemForAccount("ana", service), St::ItemNotFound);
    QCOMPARE(keychain.findGenericPasswordForAccount("bo", service), QString("pw"));
}

void TestKeychain::itemShowsUnderReadableLabel() {
    const QString service = serviceFor("label");
    QCOMPARE(keychain.addGenericPassword("pw", "ana@example.org", service, false), St::Success);
    const QList<StoredItem> items = itemsOf(service);
    QCOMPARE(items.size(), 1);
    QCOMPARE(items[0].label, service + " (ana@example.org)");
    QVERIFY2(items[0].path.startsWith(defaultCollectionPath() + "/"), qPrintable(items[0].path));
}

void TestKeychain::lockedKeyringAnswersPromptly() {
    // Nothing here can show a prompt, so every call that needs the keyring open must give up.
    const QString service = serviceFor("locked");
    QCOMPARE(keychain.addGenericPassword("pw", "ana", service, false), St::Success);
    lockKeyring();

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(keychain.addGenericPassword("pw", "bo", service, false), St::AuthFailed);
    QCOMPARE(keychain.addGenericPassword("new", "ana", service, true), St::AuthFailed);
    QCOMPARE(keychain.addGenericPassword("new", "ana", service, false), St::DuplicateItem);
    QCOMPARE(keychain.findGenericPasswordForAccount("ana", service), QString(""));
    QCOMPARE(keychain.deleteItemForAccount("ana", service), St::AuthFailed);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));

    QVERIFY(unlockDefaultCollection());
    locked = false;
    QCOMPARE(keychain.findGenericPasswordForAccount("ana", service), QString("pw"));
    QCOMPARE(itemsOf(service).size(), 1);
}

void TestKeychain::unansweredPromptIsCutOff() {
    const QString service = serviceFor("unanswered");
    SilentPrompter prompter;
    QVERIFY(prompter.start());
    lockKeyring();
    KeychainLimits::setForTesting(10s, 300ms);

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(keychain.addGenericPassword("pw", "ana", service, false), St::AuthFailed);
    const qint64 elapsed = clock.elapsed();
    // It did wait on the prompt, then no longer than the deadline and some slack.
    QVERIFY2(elapsed >= 300 && elapsed < 300 + 1500, qPrintable(QString::number(elapsed)));
}

void TestKeychain::unreachableService_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("no bus at the address") << "nothing";
    QTest::newRow("bus without a keyring service") << "bus";
    QTest::newRow("socket that never answers") << "silent";
}

void TestKeychain::unreachableService() {
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess bus;
    int silent = -1;
    int limitMs = 10000;
    QString address = "unix:path=" + dir.filePath("nothing");
    if (kind == "bus") {
        // A bus of its own that knows no services to start.
        QFile config(dir.filePath("bus.conf"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            "<busconfig><type>session</type><listen>unix:dir=" + QFile::encodeName(dir.path()) +
            "</listen><auth>EXTERNAL</auth><policy context='default'>"
            "<allow send_destination='*' eavesdrop='true'/><allow eavesdrop='true'/>"
            "<allow own='*'/></policy></busconfig>");
        config.close();
        bus.start("dbus-daemon",
                  {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
        QVERIFY(bus.waitForStarted(5000));
        QVERIFY(bus.waitForReadyRead(5000));
        address = QString::fromUtf8(bus.readLine().trimmed());
    } else if (kind == "silent") {
        silent = silentSocket(dir.filePath("silent"));
        QVERIFY(silent >= 0);
        address = "unix:path=" + dir.filePath("silent");
        limitMs = 300;
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", address);
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    QProcess child;
    child.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    child.start(QCoreApplication::applicationFilePath(),
                {"--keychain-child", QString::number(limitMs)});
    const bool finished = child.waitForFinished(30000);
    const qint64 elapsed = clock.elapsed();
    if (silent >= 0)
        ::close(silent);
    bus.kill();
    bus.waitForFinished(5000);

    QVERIFY(finished);
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.readAllStandardOutput().trimmed(), QByteArray("add=-25291 find= delete=-25291"));
    // Three calls, each within its deadline and the wind-down of a cancelled call.
    QVERIFY2(elapsed < 3 * (limitMs < 1000 ? 1300 : 1000) + 2000,
             qPrintable(QString::number(elapsed)));
}

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--keychain-child") == 0)
        return childMain(argv[2]);
    QCoreApplication app(argc, argv);
    TestKeychain test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_keychain.moc"
