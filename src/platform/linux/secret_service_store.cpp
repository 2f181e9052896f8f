#include "secret_service_store.h"

#include <QAbstractEventDispatcher>
#include <QThread>

#include <libsecret/secret.h>

#include <algorithm>

namespace vindaro {

// One call to the Secret Service, from opening a connection of its own to the answer. Every
// GLib callback it waits for holds a reference to it, so a call that was abandoned or timed out
// still has somewhere to land when libsecret finally reports back.
class SecretServiceCall : public std::enable_shared_from_this<SecretServiceCall> {
public:
    enum class Kind { store, lookup, remove };

    SecretServiceCall(Kind kind, const QString& service, const QString& account, QByteArray value,
                      SecretStore::Done done, std::chrono::milliseconds silenceLimit);
    ~SecretServiceCall();
    SecretServiceCall(const SecretServiceCall&) = delete;
    SecretServiceCall& operator=(const SecretServiceCall&) = delete;

    void start();
    // The store is going: nothing will be answered, and what is in flight is cancelled. The
    // caller holds the call, which cancelling may otherwise let go.
    void abandon();
    bool isFinished() const { return !m_done; }

    // While the desktop's prompt is open the call waits for the person, not for the service.
    void promptOpened();
    void promptClosed();

private:
    using Self = std::shared_ptr<SecretServiceCall>;

    void finish(const SecretOutcome& outcome);
    void fail(GError* error);
    void search(SecretSearchFlags flags, GAsyncReadyCallback next);

    static gpointer hold(const Self& call) { return new Self(call); }
    static Self release(gpointer data);
    static void opened(GObject* source, GAsyncResult* result, gpointer data);
    static void stored(GObject* source, GAsyncResult* result, gpointer data);
    static void lookedUp(GObject* source, GAsyncResult* result, gpointer data);
    static void collectionsLoaded(GObject* source, GAsyncResult* result, gpointer data);
    static void collectionsUnlocked(GObject* source, GAsyncResult* result, gpointer data);
    static void defaultFound(GObject* source, GAsyncResult* result, gpointer data);
    static void foundDuplicates(GObject* source, GAsyncResult* result, gpointer data);
    static void duplicateDeleted(GObject* source, GAsyncResult* result, gpointer data);
    // Of several items of the same service and account, the one a lookup reads: one in the
    // default collection if there is one, else any; of those, the most recently changed.
    SecretItem* chosen() const;
    void answerLookup();
    static void foundForRemoval(GObject* source, GAsyncResult* result, gpointer data);
    static void deleted(GObject* source, GAsyncResult* result, gpointer data);
    static void checkedRemoval(GObject* source, GAsyncResult* result, gpointer data);

    Kind m_kind;
    QByteArray m_serviceName;
    QByteArray m_account;
    QByteArray m_value;
    SecretStore::Done m_done;
    GCancellable* m_cancellable;
    SecretService* m_service = nullptr;
    QTimer m_silence;
    int m_openPrompts = 0;
    int m_pendingDeletions = 0;
    QString m_deletionFailure;
    // A lookup that finds nothing unlocks the locked collections once, then searches again.
    bool m_collectionsUnlocked = false;
    guint m_lockedCollections = 0;
    QByteArray m_defaultCollection; // its object path, once looked up
    GList* m_found = nullptr;       // the items a search found
};

namespace {

// Items are identified by service and account alone, like generic passwords elsewhere: an item
// another tool made with the same two attributes is the same item.
const SecretSchema* itemSchema() {
    static const SecretSchema schema = [] {
        SecretSchema value{};
        value.name = "net.vindaro.agent.Secret";
        value.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        value.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        value.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return value;
    }();
    return &schema;
}

class Attributes {
public:
    Attributes(const QByteArray& service, const QByteArray& account)
        : m_table(g_hash_table_new(g_str_hash, g_str_equal)) {
        insert("service", service);
        insert("account", account);
    }
    ~Attributes() { g_hash_table_unref(m_table); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;

    GHashTable* table() const { return m_table; }

private:
    // The table only points at the texts; libsecret copies them before the call returns.
    void insert(const char* name, const QByteArray& value) {
        g_hash_table_insert(m_table, const_cast<char*>(name), const_cast<char*>(value.constData()));
    }
    GHashTable* m_table;
};

QString reasonOf(GError* error) {
    QString reason = QString::fromUtf8(error->message);
    g_error_free(error);
    return reason;
}

constexpr auto everyItem = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK |
                                                          SECRET_SEARCH_LOAD_SECRETS);

// libsecret's own service, told when a prompt opens and closes so the call can stop counting
// silence while a person answers. SecretServiceClass's prompt functions are the documented way
// to take over prompting.
struct AgentSecretService {
    SecretService parent;
    SecretServiceCall* call; // cleared by the call when it ends
};

struct AgentSecretServiceClass {
    SecretServiceClass parent;
};

G_DEFINE_TYPE(AgentSecretService, agent_secret_service, SECRET_TYPE_SERVICE)

AgentSecretService* agentService(gpointer service) {
    return G_TYPE_CHECK_INSTANCE_CAST(service, agent_secret_service_get_type(), AgentSecretService);
}

void promptPerformed(GObject* source, GAsyncResult* result, gpointer data) {
    GTask* task = G_TASK(data);
    GError* error = nullptr;
    GVariant* value = secret_prompt_perform_finish(SECRET_PROMPT(source), result, &error);
    if (SecretServiceCall* call = agentService(g_task_get_source_object(task))->call)
        call->promptClosed();
    // A prompt whose service vanished ends with neither a value nor an error; libsecret's own
    // callers would read that empty answer as a value, so it becomes an error here.
    if (value == nullptr && error == nullptr)
        error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_FAILED,
                                    "The prompt ended without an answer");
    if (error != nullptr)
        g_task_return_error(task, error);
    else
        g_task_return_pointer(task, value, reinterpret_cast<GDestroyNotify>(g_variant_unref));
    g_object_unref(task);
}

void promptAsync(SecretService* self, SecretPrompt* prompt, const GVariantType* returnType,
                 GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
    GTask* task = g_task_new(self, cancellable, callback, data);
    if (SecretServiceCall* call = agentService(self)->call)
        call->promptOpened();
    secret_prompt_perform(prompt, nullptr, returnType, cancellable, promptPerformed, task);
}

GVariant* promptFinish(SecretService*, GAsyncResult* result, GError** error) {
    return static_cast<GVariant*>(g_task_propagate_pointer(G_TASK(result), error));
}

void agent_secret_service_init(AgentSecretService* self) {
    self->call = nullptr;
}

void agent_secret_service_class_init(AgentSecretServiceClass* type) {
    type->parent.prompt_async = promptAsync;
    type->parent.prompt_finish = promptFinish;
}

} // namespace

SecretServiceCall::SecretServiceCall(Kind kind, const QString& service, const QString& account,
                                     QByteArray value, SecretStore::Done done,
                                     std::chrono::milliseconds silenceLimit)
    : m_kind(kind)
    , m_serviceName(service.toUtf8())
    , m_account(account.toUtf8())
    , m_value(std::move(value))
    , m_done(std::move(done))
    , m_cancellable(g_cancellable_new()) {
    m_silence.setSingleShot(true);
    m_silence.setInterval(silenceLimit);
    QObject::connect(&m_silence, &QTimer::timeout, [this] {
        // Cancelling may end what is in flight, and with it the last hold on this call.
        const Self self = shared_from_this();
        finish(SecretOutcome::failed(QStringLiteral("The Secret Service did not answer")));
        g_cancellable_cancel(m_cancellable);
    });
}

SecretServiceCall::~SecretServiceCall() {
    g_list_free_full(m_found, g_object_unref);
    if (m_service != nullptr) {
        agentService(m_service)->call = nullptr;
        g_object_unref(m_service);
    }
    g_object_unref(m_cancellable);
}

SecretServiceCall::Self SecretServiceCall::release(gpointer data) {
    const std::unique_ptr<Self> held(static_cast<Self*>(data));
    return *held;
}

void SecretServiceCall::start() {
    m_silence.start();
    secret_service_open(agent_secret_service_get_type(), nullptr, SECRET_SERVICE_OPEN_SESSION,
                        m_cancellable, opened, hold(shared_from_this()));
}

void SecretServiceCall::abandon() {
    m_done = nullptr;
    m_silence.stop();
    g_cancellable_cancel(m_cancellable);
}

void SecretServiceCall::promptOpened() {
    ++m_openPrompts;
    m_silence.stop();
}

void SecretServiceCall::promptClosed() {
    if (--m_openPrompts == 0 && !isFinished())
        m_silence.start();
}

void SecretServiceCall::finish(const SecretOutcome& outcome) {
    if (isFinished())
        return;
    m_silence.stop();
    const SecretStore::Done done = std::move(m_done);
    m_done = nullptr;
    done(outcome);
}

void SecretServiceCall::fail(GError* error) {
    finish(SecretOutcome::failed(reasonOf(error)));
}

void SecretServiceCall::search(SecretSearchFlags flags, GAsyncReadyCallback next) {
    const Attributes attributes(m_serviceName, m_account);
    secret_service_search(m_service, itemSchema(), attributes.table(), flags, m_cancellable, next,
                          hold(shared_from_this()));
}

void SecretServiceCall::opened(GObject*, GAsyncResult* result, gpointer data) {
    const Self call = release(data);
    GError* error = nullptr;
    SecretService* service = secret_service_open_finish(result, &error);
    if (service == nullptr) {
        call->finish(SecretOutcome::unavailable(reasonOf(error)));
        return;
    }
    call->m_service = service;
    agentService(service)->call = call.get();
    if (call->isFinished())
        return;
    switch (call->m_kind) {
    case Kind::store: {
        const Attributes attributes(call->m_serviceName, call->m_account);
        const QByteArray label = call->m_serviceName + " (" + call->m_account + ')';
        SecretValue* value =
            secret_value_new(call->m_value.constData(), call->m_value.size(), "text/plain");
        secret_service_store(service, itemSchema(), attributes.table(), SECRET_COLLECTION_DEFAULT,
                             label.constData(), value, call->m_cancellable, stored, hold(call));
        secret_value_unref(value);
        break;
    }
    case Kind::lookup:
        // libsecret's own lookup reads a refused unlock as "no item"; searching and loading
        // the secret here tells the two apart.
        call->search(everyItem, lookedUp);
        break;
    case Kind::remove:
        // libsecret's own clear skips locked items, so they are unlocked first.
        call->search(static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK),
                     foundForRemoval);
        break;
    }
}

void SecretServiceCall::stored(GObject*, GAsyncResult* result, gpointer data) {
    const Self call = release(data);
    GError* error = nullptr;
    if (!secret_service_store_finish(call->m_service, result, &error)) {
        call->fail(error);
        return;
    }
    // Stored. Items of the same service and account that another tool or an older version left,
    // in this collection or another, could be read instead some day: they go.
    secret_collection_for_alias(call->m_service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                call->m_cancellable, defaultFound, hold(call));
}

void SecretServiceCall::lookedUp(GObject*, GAsyncResult* result, gpointer data) {
    const Self call = release(data);
    GError* error = nullptr;
    GList* items = secret_service_search_finish(call->m_service, result, &error);
    if (error != nullptr) {
        call->fail(error);
        return;
    }
    if (items == nullptr && !call->m_collectionsUnlocked) {
        // A locked collection may hide its items altogether (KeePassXC shows a locked database
        // as an empty collection): nothing found means absent only once every one is unlocked.
        call->m_collectionsUnlocked = true;
        secret_service_load_collections(call->m_service, call->m_cancellable, collectionsLoaded,
                                        hold(call));
        return;
    }
    if (items == nullptr) {
        call->finish(SecretOutcome::absent());
        return;
    }
    call->m_found = items;
    if (items->next == nullptr)
        call->answerLookup();
    else
        secret_collection_for_alias(call->m_service, SECRET_COLLECTION_DEFAULT,
                                    SECRET_COLLECTION_NONE, call->m_cancellable, defaultFound,
                                    hold(call));
}

void SecretServiceCall::collectionsLoaded(GObject*, GAsyncResult* result, gpointer data) {
    const Self call = release(data);
    GError* error = nullptr;
    if (!secret_service_load_collections_finish(call->m_service, result, &error)) {
        call->fail(error);
        return;
    }
    GList* collections = secret_service_get_collections(call->m_service);
    GList* locked = nullptr;
    for (GList* each = collections; each != nullptr; each = each->next) {
        if (secret_collection_get_locked(SECRET_COLLECTION(each->data)))
            locked = g_list_prepend(locked, each->data);
    }
    call->m_lockedCollections = g_list_length(locked);
    if (locked == nullptr)
        call->finish(SecretOutcome::absent());
    else
        secret_service_unlock(call->m_service, locked, call->m_cancellable, collectionsUnlocked,
                              hold(call));
    g_list_free(locked);
    g_list_free_full(collections, g_object_unref);
}

void SecretServiceCall::collectionsUnlocked(GObject*, GAsyncResult* result, gpointer data) {
    const Self call = release(data);
    GError* error = nullptr;
    GList* unlocked = nullptr;
    const gint count = secret_service_unlock_finish(call->m_service, result, &unlocked, &error);
    g_list_free_full(unlocked, g_object_unref);
    if (error != nullptr)
        call->fail(error);
    else if (count < static_cast<gint>(call->m_lockedCollections))
        call->finish(SecretOutcome::failed(QStringLiteral("The collection is locked")));
    else
        call->search(everyItem, lookedUp);
}

void SecretServiceCall::defaultFound(GObject*, GAsyncResult* result, gpointer data) {
    const Self call = release(data);
    GError* error = nullptr;
    if (SecretCollection* collection = secret_collection_for_alias_finish(result, &error)) {
        call->m_defaultCollection = g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection));
        g_object_unref(collection);
    }
    if (error != nullptr)
        g_error_free(error); // without a default collection, no item is preferred for its place
    if (call->m_kind == Kind::lookup)
        call->answerLookup();
    else
        call->search(everyItem, foundDuplicates);
}

SecretItem* SecretServiceCall::chosen() const {
    const QByteArray inDefault = m_defaultCollection + '/';
    SecretItem* best = nullptr;
    bool bestInDefault = false;
    for (GList* each = m_found; each != nullptr; each = each->next) {
        SecretItem* item = SECRET_ITEM(each->data);
        const bool atDefault =
            !m_defaultCollection.isEmpty() &&
            QByteArray(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item))).startsWith(inDefault);
        if (best == nullptr || (atDefault && !bestInDefault) ||
            (atDefault == bestInDefault &&
             secret_item_get_modified(item) > secret_item_get_modified(best))) {
            best = item;
            bestInDefault = atDefault;
        }
    }
    return best;
}

void SecretServiceCall::answerLookup() {
    // Still locked when the unlock was refused or dismissed.
    if (SecretValue* secret = secret_item_get_secret(chosen())) {
        gsize length = 0;
        const gchar* bytes = secret_value_get(secret, &length);
        QByteArray value(bytes, static_cast<qsizetype>(length));
        secret_value_unref(secret);
        finish(SecretOutcome::done(std::move(value)));
    } else {
        finish(SecretOutcome::failed(QStringLiteral("The item is locked")));
    }
}

void SecretServiceCall::foundDuplicates(GObject*, GAsyncResult* result, gpointer data) {
    const Self call = release(data);
    GError* error = nullptr;
    call->m_found = secret_service_search_finish(call->m_service, result, &error);
    // The value is stored whatever happens to the others.
    if (error != nullptr)
        g_error_free(error);
    // The one just stored stays: in the default collection, holding this value.
    SecretItem* kept = nullptr;
    for (GList* each = call->m_found; each != nullptr && kept == nullptr; each = each->next) {
        SecretItem* item = SECRET_ITEM(each->data);
        bool same = false;
        if (SecretValue* secret = secret_item_get_secret(item)) {
            gsize length = 0;
            const gchar* bytes = secret_value_get(secret, &length);
            same = QByteArray(bytes, static_cast<qsizetype>(length)) == call->m_value;
            secret_value_unref(secret);
        }
        if (same && QByteArray(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)))
                        .startsWith(call->m_defaultCollection + '/'))
            kept = item;
    }
    for (GList* each = call->m_found; each != nullptr; each = each->next) {
        if (each->data == kept || kept == nullptr)
            continue;
        ++call->m_pendingDeletions;
        secret_item_delete(SECRET_ITEM(each->data), call->m_cancellable, duplicateDeleted,
                           hold(call));
    }
    if (call->m_pendingDeletions == 0)
        call->finish(SecretOutcome::done());
}

void SecretServiceCall::duplicateDeleted(GObject* source, GAsyncResult* result, gpointer data) {
    const Self call = release(data);
    GError* error = nullptr;
    if (!secret_item_delete_finish(SECRET_ITEM(source), result, &error))
        g_error_free(error); // one left behind loses to the one stored, which is newer
    if (--call->m_pendingDeletions == 0)
        call->finish(SecretOutcome::done());
}

void SecretServiceCall::foundForRemoval(GObject*, GAsyncResult* result, gpointer data) {
    const Self call = release(data);
    GError* error = nullptr;
    GList* items = secret_service_search_finish(call->m_service, result, &error);
    if (error != nullptr) {
        call->fail(error);
        return;
    }
    if (items == nullptr) {
        call->finish(SecretOutcome::done());
        return;
    }
    for (GList* item = items; item != nullptr; item = item->next) {
        ++call->m_pendingDeletions;
        secret_item_delete(SECRET_ITEM(item->data), call->m_cancellable, deleted, hold(call));
    }
    g_list_free_full(items, g_object_unref);
}

void SecretServiceCall::deleted(GObject* source, GAsyncResult* result, gpointer data) {
    const Self call = release(data);
    GError* error = nullptr;
    if (!secret_item_delete_finish(SECRET_ITEM(source), result, &error))
        call->m_deletionFailure = reasonOf(error);
    if (--call->m_pendingDeletions > 0 || call->isFinished())
        return;
    // Whatever each deletion said, only a search that finds nothing means the items are gone.
    call->search(SECRET_SEARCH_ALL, checkedRemoval);
}

void SecretServiceCall::checkedRemoval(GObject*, GAsyncResult* result, gpointer data) {
    const Self call = release(data);
    GError* error = nullptr;
    GList* items = secret_service_search_finish(call->m_service, result, &error);
    if (error != nullptr) {
        call->fail(error);
        return;
    }
    if (items == nullptr) {
        call->finish(SecretOutcome::done());
        return;
    }
    g_list_free_full(items, g_object_unref);
    call->finish(SecretOutcome::failed(call->m_deletionFailure.isEmpty()
                                           ? QStringLiteral("The item is still stored")
                                           : call->m_deletionFailure));
}

SecretServiceStore::SecretServiceStore(std::chrono::milliseconds silenceLimit)
    : m_silenceLimit(silenceLimit) {
    const QAbstractEventDispatcher* dispatcher =
        QAbstractEventDispatcher::instance(QThread::currentThread());
    m_dispatcherRunsGlib = dispatcher != nullptr && dispatcher->inherits("QEventDispatcherGlib");
    m_glibPump.setInterval(std::chrono::milliseconds(10));
    QObject::connect(&m_glibPump, &QTimer::timeout, [this] {
        while (g_main_context_iteration(nullptr, FALSE) == TRUE) {
        }
        forgetFinishedCalls();
        if (m_calls.empty())
            m_glibPump.stop();
    });
}

SecretServiceStore::~SecretServiceStore() {
    for (const std::weak_ptr<SecretServiceCall>& weak : m_calls) {
        if (const std::shared_ptr<SecretServiceCall> call = weak.lock())
            call->abandon();
    }
}

void SecretServiceStore::forgetFinishedCalls() {
    std::erase_if(m_calls, [](const std::weak_ptr<SecretServiceCall>& weak) {
        const std::shared_ptr<SecretServiceCall> live = weak.lock();
        return !live || live->isFinished();
    });
}

void SecretServiceStore::begin(const std::shared_ptr<SecretServiceCall>& call) {
    forgetFinishedCalls();
    m_calls.push_back(call);
    call->start();
    if (!m_dispatcherRunsGlib)
        m_glibPump.start();
}

void SecretServiceStore::store(const QString& service, const QString& account,
                               const QByteArray& value, Done done) {
    begin(std::make_shared<SecretServiceCall>(SecretServiceCall::Kind::store, service, account,
                                              value, std::move(done), m_silenceLimit));
}

void SecretServiceStore::lookup(const QString& service, const QString& account, Done done) {
    begin(std::make_shared<SecretServiceCall>(SecretServiceCall::Kind::lookup, service, account,
                                              QByteArray(), std::move(done), m_silenceLimit));
}

void SecretServiceStore::remove(const QString& service, const QString& account, Done done) {
    begin(std::make_shared<SecretServiceCall>(SecretServiceCall::Kind::remove, service, account,
                                              QByteArray(), std::move(done), m_silenceLimit));
}

} // namespace vindaro
