// glib's headers name struct members "signals", which Qt defines as a macro: libsecret first.
#include <libsecret/secret.h>

#include "accounts/SecretServiceBackend.h"

namespace qm {
namespace {

const SecretSchema* schema() {
    static const SecretSchema value = [] {
        SecretSchema s{};
        s.name = "Quotameter";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0].name = "service";
        s.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
        s.attributes[1].name = "account";
        s.attributes[1].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
        return s;
    }();
    return &value;
}

// A GError becomes a failure status carrying the service's message; it is freed here.
SecretStatus failure(GError* error) {
    SecretStatus status{error->code != 0 ? error->code : -1,
                        QString::fromUtf8(error->message ? error->message : "")};
    if (status.code == kSecretDuplicateItem || status.code == kSecretItemNotFound) status.code = -1;
    g_error_free(error);
    return status;
}

}  // namespace

bool SecretServiceBackend::isAvailable() {
    // Only a service that is already running counts: activating one could start a daemon that
    // then waits on an unlock prompt nobody can answer.
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        g_clear_error(&error);
        return false;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, &error);
    g_object_unref(bus);
    if (!reply) {
        g_clear_error(&error);
        return false;
    }
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned;
}

SecretStatus SecretServiceBackend::add(const QString& service, const QString& account,
                                       const QByteArray& value) {
    const QByteArray serviceUtf8 = service.toUtf8();
    const QByteArray accountUtf8 = account.toUtf8();
    const QByteArray label = "Quotameter API key " + accountUtf8;
    SecretValue* secret = secret_value_new(value.constData(), value.size(), "text/plain");
    GError* error = nullptr;
    const gboolean stored = secret_password_store_binary_sync(
        schema(), SECRET_COLLECTION_DEFAULT, label.constData(), secret, nullptr, &error, "service",
        serviceUtf8.constData(), "account", accountUtf8.constData(), nullptr);
    secret_value_unref(secret);
    if (error) return failure(error);
    if (!stored) return {-1, QStringLiteral("the Secret Service did not store the item")};
    return {};
}

SecretStatus SecretServiceBackend::update(const QString& service, const QString& account,
                                          const QByteArray& value) {
    return add(service, account, value);
}

SecretStatus SecretServiceBackend::copy(const QString& service, const QString& account,
                                        QByteArray& value) {
    const QByteArray serviceUtf8 = service.toUtf8();
    const QByteArray accountUtf8 = account.toUtf8();
    GError* error = nullptr;
    SecretValue* secret = secret_password_lookup_binary_sync(schema(), nullptr, &error, "service",
                                                             serviceUtf8.constData(), "account",
                                                             accountUtf8.constData(), nullptr);
    if (error) {
        if (secret) secret_value_unref(secret);
        return failure(error);
    }
    if (!secret) return {kSecretItemNotFound, {}};
    gsize length = 0;
    const gchar* bytes = secret_value_get(secret, &length);
    value = QByteArray(bytes, qsizetype(length));
    secret_value_unref(secret);
    return {};
}

SecretStatus SecretServiceBackend::remove(const QString& service, const QString& account) {
    const QByteArray serviceUtf8 = service.toUtf8();
    const QByteArray accountUtf8 = account.toUtf8();
    GError* error = nullptr;
    const gboolean removed =
        secret_password_clear_sync(schema(), nullptr, &error, "service", serviceUtf8.constData(),
                                   "account", accountUtf8.constData(), nullptr);
    if (error) return failure(error);
    return removed ? SecretStatus{} : SecretStatus{kSecretItemNotFound, {}};
}

std::optional<QStringList> SecretServiceBackend::accounts(const QString& service) {
    const QByteArray serviceUtf8 = service.toUtf8();
    GError* error = nullptr;
    GList* items = secret_password_search_sync(schema(), SECRET_SEARCH_ALL, nullptr, &error,
                                               "service", serviceUtf8.constData(), nullptr);
    if (error) {
        g_error_free(error);
        return std::nullopt;  // unknown: callers then leave every key alone
    }
    QStringList names;
    for (GList* at = items; at; at = at->next) {
        GHashTable* attributes = secret_retrievable_get_attributes(SECRET_RETRIEVABLE(at->data));
        if (!attributes) continue;
        if (const auto* account =
                static_cast<const gchar*>(g_hash_table_lookup(attributes, "account"))) {
            const QString name = QString::fromUtf8(account);
            if (!names.contains(name)) names.append(name);
        }
        g_hash_table_unref(attributes);
    }
    g_list_free_full(items, g_object_unref);
    return names;
}

}  // namespace qm
