#include "Keychain.h"
#include "KeychainDeadline_p.h"

#include "Error.h"

#include <QByteArray>
#include <QStringView>

// For the object path of the transfer session, so each call can close the one it opened.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace {

using namespace keychain;

const SecretSchema *passwordSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.nubelo.Exporter.GenericPassword";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

struct GErrorFree {
    void operator()(GError *e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct HashTableUnref {
    void operator()(GHashTable *t) const { g_hash_table_unref(t); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableUnref>;

struct SecretValueUnref {
    void operator()(SecretValue *v) const { secret_value_unref(v); }
};
using ValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

using Items = std::vector<GRef<SecretItem>>;

// The part of s before its first U+0000, as UTF-8. Nothing when that part holds an unpaired
// surrogate: it has no UTF-8 form, and storing a replacement character would keep a password
// other than the one given.
std::optional<QByteArray> keychainBytes(const QString &s) {
    QStringView v(s);
    const qsizetype nul = v.indexOf(QChar(u'\0'));
    if (nul >= 0)
        v = v.left(nul);
    for (qsizetype i = 0; i < v.size(); ++i) {
        if (v[i].isHighSurrogate() && i + 1 < v.size() && v[i + 1].isLowSurrogate())
            ++i;
        else if (v[i].isSurrogate())
            return std::nullopt;
    }
    return v.toUtf8();
}

// The table only points into the two arrays, which must outlive it.
Attributes attributesFor(const QByteArray &service, const QByteArray &account) {
    Attributes t(g_hash_table_new(g_str_hash, g_str_equal));
    g_hash_table_insert(t.get(), const_cast<char *>("service"),
                        const_cast<char *>(service.constData()));
    g_hash_table_insert(t.get(), const_cast<char *>("account"),
                        const_cast<char *>(account.constData()));
    return t;
}

qint32 statusFor(const GError *e) {
    using namespace KeychainStatus;
    // Cancelled: only service calls are, when the service did not answer in time.
    if (g_error_matches(e, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        return NotAvailable;
    if (e->domain == SECRET_ERROR) {
        switch (e->code) {
        case SECRET_ERROR_IS_LOCKED:
            return AuthFailed;
        case SECRET_ERROR_NO_SUCH_OBJECT:
            return ItemNotFound;
        case SECRET_ERROR_ALREADY_EXISTS:
            return DuplicateItem;
        default:
            return IoError;
        }
    }
    if (e->domain == G_DBUS_ERROR) {
        switch (e->code) {
        case G_DBUS_ERROR_ACCESS_DENIED:
        case G_DBUS_ERROR_AUTH_FAILED:
            return AuthFailed;
        case G_DBUS_ERROR_INVALID_ARGS:
            return BadParameter;
        case G_DBUS_ERROR_FAILED:
            return IoError;
        default:
            // No owner for the name, nothing answering, or something that is not a keyring.
            return NotAvailable;
        }
    }
    if (e->domain == G_IO_ERROR)
        return e->code == G_IO_ERROR_DBUS_ERROR ? IoError : NotAvailable;
    return IoError;
}

// A failure of one call of the store: the status it answers, with the reason for the log.
platform::Error keychainError(qint32 status, const QString &what) {
    qCDebug(lcKeychain, "%s (status %d)", qUtf8Printable(what), status);
    return platform::Error{QStringLiteral("Keychain"), status, what};
}

platform::Error keychainError(GError *e) {
    ErrorPtr error(e);
    return keychainError(statusFor(e), QString::fromUtf8(e->message));
}

// One call of the store: each step is one asynchronous libsecret call, bounded by the runner's
// deadline. A step that fails answers the Error whose code is the call's status.
class Session {
public:
    Session() = default;
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    platform::MaybeError open();
    platform::Expected<Items> search(const Attributes &attributes, bool withSecrets);
    platform::MaybeError unlock(gpointer object);
    platform::Expected<QByteArray> secretOf(SecretItem *item);
    platform::MaybeError setSecret(SecretItem *item, const QByteArray &password);
    platform::MaybeError remove(SecretItem *item);
    platform::Expected<GRef<SecretCollection>> defaultCollection();
    platform::MaybeError create(SecretCollection *collection, const Attributes &attributes,
                                const QByteArray &label, const QByteArray &password);

private:
    template <typename Start> platform::Expected<GRef<GAsyncResult>> run(Wait wait, Start &&start);

    // First, so that it outlives the service proxy, whose last references it may still run.
    DeadlineRunner mRunner;
    GRef<SecretService> mService;
};

Session::~Session() {
    if (mService && !mRunner.abandoned()) {
        // The service keeps a transfer session until our bus connection closes, which for the
        // shared session-bus connection is the end of the process. No answer is awaited.
        if (const gchar *path = secret_service_get_session_dbus_path(mService.get())) {
            GDBusProxy *proxy = G_DBUS_PROXY(mService.get());
            g_dbus_connection_call(g_dbus_proxy_get_connection(proxy), g_dbus_proxy_get_name(proxy),
                                   path, "org.freedesktop.Secret.Session", "Close", nullptr,
                                   nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr,
                                   nullptr);
        }
    }
    mService.reset();
}

template <typename Start>
platform::Expected<GRef<GAsyncResult>> Session::run(Wait wait, Start &&start) {
    GRef<GAsyncResult> result = mRunner.run(wait, std::forward<Start>(start));
    if (!result)
        return keychainError(wait == Wait::Prompt ? KeychainStatus::AuthFailed
                                                  : KeychainStatus::NotAvailable,
                             QStringLiteral("the keyring did not answer in time"));
    return result;
}

platform::MaybeError Session::open() {
    auto done = run(Wait::Service, [](GCancellable *c, GAsyncReadyCallback cb, gpointer data) {
        secret_service_open(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, c, cb, data);
    });
    if (!done)
        return done.error();
    GError *e = nullptr;
    mService.reset(secret_service_open_finish(done->get(), &e));
    if (e) {
        // Whatever stops us from reaching the service, it is not reachable.
        ErrorPtr error(e);
        return keychainError(KeychainStatus::NotAvailable, QString::fromUtf8(e->message));
    }
    return std::nullopt;
}

platform::Expected<Items> Session::search(const Attributes &attributes, bool withSecrets) {
    const auto flags = static_cast<SecretSearchFlags>(
        SECRET_SEARCH_ALL | (withSecrets ? SECRET_SEARCH_LOAD_SECRETS : SECRET_SEARCH_NONE));
    auto done = run(Wait::Service, [&](GCancellable *c, GAsyncReadyCallback cb, gpointer data) {
        secret_service_search(mService.get(), passwordSchema(), attributes.get(), flags, c, cb,
                              data);
    });
    if (!done)
        return done.error();
    GError *e = nullptr;
    GList *found = secret_service_search_finish(mService.get(), done->get(), &e);
    if (e)
        return keychainError(e);
    Items items;
    for (GList *l = found; l; l = l->next)
        items.emplace_back(SECRET_ITEM(l->data));
    g_list_free(found);
    // Unlocked ones first, so that a usable item spares the user a prompt.
    std::stable_partition(items.begin(), items.end(), [](const GRef<SecretItem> &i) {
        return !secret_item_get_locked(i.get());
    });
    return items;
}

platform::MaybeError Session::unlock(gpointer object) {
    GList *objects = g_list_append(nullptr, object);
    auto done = run(Wait::Prompt, [&](GCancellable *c, GAsyncReadyCallback cb, gpointer data) {
        secret_service_unlock(mService.get(), objects, c, cb, data);
    });
    g_list_free(objects);
    if (!done)
        return done.error();
    GError *e = nullptr;
    GList *unlocked = nullptr;
    const gint count = secret_service_unlock_finish(mService.get(), done->get(), &unlocked, &e);
    g_list_free_full(unlocked, g_object_unref);
    if (e)
        return keychainError(e);
    if (count < 1)
        return keychainError(KeychainStatus::AuthFailed,
                             QStringLiteral("the keyring stayed locked"));
    return std::nullopt;
}

platform::Expected<QByteArray> Session::secretOf(SecretItem *item) {
    const auto noSecret = [] {
        return keychainError(KeychainStatus::IoError, QStringLiteral("the keyring gave no secret"));
    };
    ValuePtr value(secret_item_get_secret(item));
    if (!value) {
        auto done = run(Wait::Service, [&](GCancellable *c, GAsyncReadyCallback cb, gpointer data) {
            secret_item_load_secret(item, c, cb, data);
        });
        if (!done)
            return done.error();
        GError *e = nullptr;
        if (!secret_item_load_secret_finish(item, done->get(), &e))
            return e ? keychainError(e) : noSecret();
        value.reset(secret_item_get_secret(item));
        if (!value)
            return noSecret();
    }
    gsize length = 0;
    const gchar *bytes = secret_value_get(value.get(), &length);
    return QByteArray(bytes, static_cast<qsizetype>(length));
}

platform::MaybeError Session::setSecret(SecretItem *item, const QByteArray &password) {
    ValuePtr value(secret_value_new(password.constData(), password.size(), "text/plain"));
    auto done = run(Wait::Service, [&](GCancellable *c, GAsyncReadyCallback cb, gpointer data) {
        secret_item_set_secret(item, value.get(), c, cb, data);
    });
    if (!done)
        return done.error();
    GError *e = nullptr;
    if (!secret_item_set_secret_finish(item, done->get(), &e))
        return e ? keychainError(e)
                 : keychainError(KeychainStatus::IoError, QStringLiteral("the secret was not set"));
    return std::nullopt;
}

platform::MaybeError Session::remove(SecretItem *item) {
    auto done = run(Wait::Prompt, [&](GCancellable *c, GAsyncReadyCallback cb, gpointer data) {
        secret_item_delete(item, c, cb, data);
    });
    if (!done)
        return done.error();
    GError *e = nullptr;
    if (!secret_item_delete_finish(item, done->get(), &e))
        return e ? keychainError(e)
                 : keychainError(KeychainStatus::AuthFailed,
                                 QStringLiteral("the item was not deleted"));
    return std::nullopt;
}

platform::Expected<GRef<SecretCollection>> Session::defaultCollection() {
    auto done = run(Wait::Service, [&](GCancellable *c, GAsyncReadyCallback cb, gpointer data) {
        secret_collection_for_alias(mService.get(), SECRET_COLLECTION_DEFAULT,
                                    SECRET_COLLECTION_NONE, c, cb, data);
    });
    if (!done)
        return done.error();
    GError *e = nullptr;
    GRef<SecretCollection> collection(secret_collection_for_alias_finish(done->get(), &e));
    if (e)
        return keychainError(e);
    if (!collection) {
        // A keyring without a default collection: the service asks the user for a new one.
        done = run(Wait::Prompt, [&](GCancellable *c, GAsyncReadyCallback cb, gpointer data) {
            secret_collection_create(mService.get(), "Default keyring", SECRET_COLLECTION_DEFAULT,
                                     SECRET_COLLECTION_CREATE_NONE, c, cb, data);
        });
        if (!done)
            return done.error();
        collection.reset(secret_collection_create_finish(done->get(), &e));
        if (e)
            return keychainError(e);
        if (!collection)
            return keychainError(KeychainStatus::AuthFailed,
                                 QStringLiteral("no default collection was created"));
    }
    if (secret_collection_get_locked(collection.get())) {
        if (platform::MaybeError locked = unlock(collection.get()))
            return *locked;
    }
    return collection;
}

platform::MaybeError Session::create(SecretCollection *collection, const Attributes &attributes,
                                     const QByteArray &label, const QByteArray &password) {
    ValuePtr value(secret_value_new(password.constData(), password.size(), "text/plain"));
    auto done = run(Wait::Prompt, [&](GCancellable *c, GAsyncReadyCallback cb, gpointer data) {
        secret_item_create(collection, passwordSchema(), attributes.get(), label.constData(),
                           value.get(), SECRET_ITEM_CREATE_NONE, c, cb, data);
    });
    if (!done)
        return done.error();
    GError *e = nullptr;
    GRef<SecretItem> item(secret_item_create_finish(done->get(), &e));
    if (e)
        return keychainError(e);
    if (!item)
        return keychainError(KeychainStatus::AuthFailed,
                             QStringLiteral("the item was not created"));
    return std::nullopt;
}

} // namespace

qint32 Keychain::addGenericPassword(const QString &password, const QString &account,
                                    const QString &service, bool replaceExisting) {
    if (password.isNull() || account.isNull() || service.isNull())
        return KeychainStatus::BadParameter;
    const auto secret = keychainBytes(password);
    const auto accountName = keychainBytes(account);
    const auto serviceName = keychainBytes(service);
    if (!secret || !accountName || !serviceName)
        return KeychainStatus::BadParameter;
    const Attributes attributes = attributesFor(*serviceName, *accountName);

    Session session;
    if (platform::MaybeError error = session.open())
        return error->code;
    // Storing an item replaces a matching one without a word, hence the look first.
    const auto existing = session.search(attributes, replaceExisting);
    if (!existing)
        return existing.error().code;
    if (!existing->empty()) {
        if (!replaceExisting)
            return KeychainStatus::DuplicateItem;
        for (const auto &item : *existing) {
            if (secret_item_get_locked(item.get())) {
                if (platform::MaybeError error = session.unlock(item.get()))
                    return error->code;
            }
            // Compared as bytes: a stored value that is not UTF-8 (written by some other
            // program) differs from ours and is overwritten.
            const auto stored = session.secretOf(item.get());
            if (!stored)
                return stored.error().code;
            if (*stored != *secret) {
                if (platform::MaybeError error = session.setSecret(item.get(), *secret))
                    return error->code;
            }
        }
        return KeychainStatus::Success;
    }

    const auto collection = session.defaultCollection();
    if (!collection)
        return collection.error().code;
    const QByteArray label = *serviceName + " (" + *accountName + ")";
    if (platform::MaybeError error = session.create(collection->get(), attributes, label, *secret))
        return error->code;
    return KeychainStatus::Success;
}

QString Keychain::findGenericPasswordForAccount(const QString &account, const QString &service) {
    if (account.isNull() || service.isNull())
        return QStringLiteral("");
    const auto accountName = keychainBytes(account);
    const auto serviceName = keychainBytes(service);
    if (!accountName || !serviceName)
        return QStringLiteral("");
    const Attributes attributes = attributesFor(*serviceName, *accountName);

    Session session;
    if (session.open())
        return QStringLiteral("");
    const auto found = session.search(attributes, true);
    if (!found || found->empty())
        return QStringLiteral("");
    SecretItem *item = found->front().get();
    if (secret_item_get_locked(item) && session.unlock(item))
        return QStringLiteral("");
    const auto stored = session.secretOf(item);
    return stored ? QString::fromUtf8(*stored) : QStringLiteral("");
}

qint32 Keychain::deleteItemForAccount(const QString &account, const QString &service) {
    if (account.isNull() || service.isNull())
        return KeychainStatus::BadParameter;
    const auto accountName = keychainBytes(account);
    const auto serviceName = keychainBytes(service);
    if (!accountName || !serviceName)
        return KeychainStatus::BadParameter;
    const Attributes attributes = attributesFor(*serviceName, *accountName);

    Session session;
    if (platform::MaybeError error = session.open())
        return error->code;
    const auto found = session.search(attributes, false);
    if (!found)
        return found.error().code;
    if (found->empty())
        return KeychainStatus::ItemNotFound;
    for (const auto &item : *found) {
        if (secret_item_get_locked(item.get())) {
            if (platform::MaybeError error = session.unlock(item.get()))
                return error->code;
        }
        if (platform::MaybeError error = session.remove(item.get()))
            return error->code;
    }
    return KeychainStatus::Success;
}
