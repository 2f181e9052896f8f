#include "secret_service_store.h"

#include <libsecret/secret.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vindaro {

namespace {

using Clock = std::chrono::steady_clock;

// What one libsecret call gave back.
struct Outcome {
    bool succeeded = false;
    std::optional<QByteArray> value;
};

using Body = std::function<Outcome(GCancellable*)>;

struct Call {
    explicit Call(Body callBody)
        : body(std::move(callBody))
        , cancellable(g_cancellable_new()) {}
    ~Call() { g_object_unref(cancellable); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    Body body;
    GCancellable* cancellable;
    bool finished = false; // guarded by the worker's mutex
    Outcome outcome;
};

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
    // The table only points at the texts; the caller keeps them alive for the call.
    void insert(const char* name, const QByteArray& value) {
        g_hash_table_insert(m_table, const_cast<char*>(name), const_cast<char*>(value.constData()));
    }
    GHashTable* m_table;
};

} // namespace

// The thread that makes the libsecret calls, one after another. It owns itself through the
// shared pointer its thread holds, so that a thread stuck in a call that ignores cancellation can
// be let go of without leaving it pointing at freed memory.
class SecretServiceStore::Worker {
public:
    static std::shared_ptr<Worker> start() {
        auto worker = std::make_shared<Worker>();
        worker->m_thread = std::thread([worker] { worker->loop(); });
        return worker;
    }

    // The call's outcome, or nothing when it did not finish by the deadline; it is then
    // cancelled and left to end on its own.
    std::optional<Outcome> run(Body body, Clock::time_point deadline) {
        auto call = std::make_shared<Call>(std::move(body));
        {
            std::unique_lock lock(m_mutex);
            m_queue.push_back(call);
            m_changed.notify_all();
            if (m_changed.wait_until(lock, deadline, [&] { return call->finished; }))
                return std::move(call->outcome);
        }
        g_cancellable_cancel(call->cancellable);
        return std::nullopt;
    }

    // Cancels the call in progress, drops the queued ones and ends the thread, waiting for it
    // until the deadline at most.
    void stop(Clock::time_point deadline) {
        std::shared_ptr<Call> current;
        {
            std::scoped_lock lock(m_mutex);
            m_stopping = true;
            m_queue.clear();
            current = m_current;
            m_changed.notify_all();
        }
        if (current)
            g_cancellable_cancel(current->cancellable);
        std::unique_lock lock(m_mutex);
        if (m_changed.wait_until(lock, deadline, [&] { return m_exited; })) {
            lock.unlock();
            m_thread.join();
        } else {
            m_thread.detach();
        }
    }

private:
    void loop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                break;
            m_current = std::move(m_queue.front());
            m_queue.pop_front();
            const std::shared_ptr<Call> call = m_current;
            lock.unlock();
            // A call whose caller has already given up is not started at all.
            Outcome outcome;
            if (!g_cancellable_is_cancelled(call->cancellable))
                outcome = call->body(call->cancellable);
            lock.lock();
            m_current.reset();
            call->outcome = std::move(outcome);
            call->finished = true;
            m_changed.notify_all();
        }
        m_exited = true;
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::shared_ptr<Call>> m_queue;
    std::shared_ptr<Call> m_current;
    bool m_stopping = false;
    bool m_exited = false;
    std::thread m_thread;
};

SecretServiceStore::SecretServiceStore(std::chrono::milliseconds callLimit)
    : m_callLimit(callLimit)
    , m_worker(Worker::start()) {}

SecretServiceStore::~SecretServiceStore() {
    m_worker->stop(Clock::now() + m_callLimit);
}

bool SecretServiceStore::store(const QString& service, const QString& account,
                               const QByteArray& value) {
    const Clock::time_point deadline = Clock::now() + m_callLimit;
    const QByteArray label = (service + QStringLiteral(" (") + account + u')').toUtf8();
    const auto outcome = m_worker->run(
        [service = service.toUtf8(), account = account.toUtf8(), value,
         label](GCancellable* cancellable) {
            const Attributes attributes(service, account);
            SecretValue* secret = secret_value_new(value.constData(), value.size(), "text/plain");
            GError* error = nullptr;
            const gboolean stored = secret_password_storev_binary_sync(
                itemSchema(), attributes.table(), SECRET_COLLECTION_DEFAULT, label.constData(),
                secret, cancellable, &error);
            secret_value_unref(secret);
            g_clear_error(&error);
            return Outcome{stored == TRUE, std::nullopt};
        },
        deadline);
    return outcome && outcome->succeeded;
}

std::optional<QByteArray> SecretServiceStore::lookup(const QString& service,
                                                     const QString& account) {
    const Clock::time_point deadline = Clock::now() + m_callLimit;
    auto outcome = m_worker->run(
        [service = service.toUtf8(), account = account.toUtf8()](GCancellable* cancellable) {
            const Attributes attributes(service, account);
            GError* error = nullptr;
            SecretValue* secret = secret_password_lookupv_binary_sync(
                itemSchema(), attributes.table(), cancellable, &error);
            g_clear_error(&error);
            if (secret == nullptr)
                return Outcome{};
            gsize length = 0;
            const gchar* bytes = secret_value_get(secret, &length);
            QByteArray value(bytes, static_cast<qsizetype>(length));
            secret_value_unref(secret);
            return Outcome{true, std::move(value)};
        },
        deadline);
    if (!outcome || !outcome->succeeded)
        return std::nullopt;
    return std::move(outcome->value);
}

void SecretServiceStore::remove(const QString& service, const QString& account) {
    const Clock::time_point deadline = Clock::now() + m_callLimit;
    m_worker->run(
        [service = service.toUtf8(), account = account.toUtf8()](GCancellable* cancellable) {
            const Attributes attributes(service, account);
            GError* error = nullptr;
            secret_password_clearv_sync(itemSchema(), attributes.table(), cancellable, &error);
            g_clear_error(&error);
            return Outcome{true, std::nullopt};
        },
        deadline);
}

} // namespace vindaro
