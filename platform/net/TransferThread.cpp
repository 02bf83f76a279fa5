#include "platform/net/TransferThread.h"

#include "platform/net/ResponseCollector.h"
#include "platform/net/TransferCarrier.h"

#include "platform/net/TlsLibrary.h"

#include <QCoreApplication>

#include <curl/curl.h>
#include <pthread.h>

#include <cstdlib>
#include <mutex>

namespace velmora {

namespace {

void setUpLibcurl() {
    static std::once_flag once;
    std::call_once(once, [] {
        TlsLibrary::setUpLibcurl();
        // Registered after the TLS library set up its own clean-up at exit (when it was let to),
        // so the thread has stopped before that clean-up runs.
        std::atexit([] { TransferThread::instance().stop(); });
    });
}

} // namespace

// --- TransferThread ------------------------------------------------------------------

TransferThread& TransferThread::instance() {
    // Never destroyed: the process's exit stops its thread, and nothing may outlive it.
    static TransferThread* const thread = new TransferThread;
    return *thread;
}

quint64 TransferThread::start(TransferOrder order, Done done) {
    const quint64 id = nextTransfer();
    startAs(id, std::move(order), std::make_shared<ResponseCollector>(id, std::move(done)));
    return id;
}

quint64 TransferThread::start(TransferOrder order, std::shared_ptr<TransferReader> reader) {
    const quint64 id = nextTransfer();
    startAs(id, std::move(order), std::move(reader));
    return id;
}

quint64 TransferThread::nextTransfer() {
    std::lock_guard lock(m_mutex);
    return m_nextTransfer++;
}

void TransferThread::startAs(quint64 id, TransferOrder order, std::shared_ptr<TransferReader> reader) {
    Command command;
    command.transfer = id;
    command.order = std::move(order);
    command.reader = std::move(reader);
    post(std::move(command));
}

void TransferThread::post(Command command) {
    setUpLibcurl();
    std::shared_ptr<TransferReader> refused;
    {
        std::lock_guard lock(m_mutex);
        if (command.kind == Command::Kind::Start && !m_stopping && !m_multi && !m_thread.joinable()) {
            CURLM* multi = curl_multi_init();
            if (multi) {
                m_multi = multi;
                m_thread = std::thread([this, multi] { run(multi); });
                m_threadId = m_thread.get_id();
                if (QCoreApplication::instance()) {
                    // The application's end stops the thread while the application is still
                    // there (a transfer's end may post to it).
                    qAddPostRoutine([] { TransferThread::instance().stop(); });
                }
            }
        }
        if (m_multi && !m_stopping) {
            m_commands.push_back(std::move(command));
            curl_multi_wakeup(static_cast<CURLM*>(m_multi));
            return;
        }
        if (command.kind == Command::Kind::Start) {
            refused = std::move(command.reader);
        }
    }
    if (command.forgotten) {
        command.forgotten->set_value();
    }
    if (refused) {
        // Stopping, or libcurl could not start: nothing was sent.
        refused->end({TransferEnd::Kind::Stopped, 0, QStringLiteral("the network is shutting down")});
    }
}

void TransferThread::openAhead(TransferOrder order) {
    // Told nothing: a connection opened ahead is the transport's to keep or let go.
    class Unread final : public TransferReader {
        Verdict head(const ResponseHeadReader&, TransferOrder&) override { return Verdict::End; }
        bool body(const char*, qsizetype) override { return false; }
        void end(const TransferEnd&) override {}
    };
    order.openAheadOnly = true;
    start(std::move(order), std::make_shared<Unread>());
}

void TransferThread::cancel(quint64 transfer, bool tell) {
    std::lock_guard lock(m_mutex);
    if (!m_multi) {
        return;
    }
    Command command;
    command.kind = Command::Kind::Cancel;
    command.transfer = transfer;
    command.tell = tell;
    m_commands.push_back(std::move(command));
    curl_multi_wakeup(static_cast<CURLM*>(m_multi));
}

void TransferThread::forget(const ConnectionUse* use) {
    Command command;
    command.kind = Command::Kind::Forget;
    command.use = use;
    command.forgotten = std::make_shared<std::promise<void>>();
    std::future<void> forgotten = command.forgotten->get_future();
    bool here = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_multi) {
            return;
        }
        here = std::this_thread::get_id() == m_threadId;
        m_commands.push_back(std::move(command));
        curl_multi_wakeup(static_cast<CURLM*>(m_multi));
    }
    // On the transfer thread itself (the last holder of a session let go in a transfer's end),
    // the thread takes the command once this call is back; waiting for it here would wait for ever.
    if (!here) {
        forgotten.wait();
    }
}

bool TransferThread::isCurrentThread() const {
    // By the thread's id, which stays until the thread has ended: a stop takes the thread's
    // handle away before it ends, while the thread still runs transfers' ends.
    std::lock_guard lock(m_mutex);
    return std::this_thread::get_id() == m_threadId;
}

void TransferThread::stop() {
    std::thread thread;
    {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable()) {
            return;
        }
        m_stopping = true;
        if (m_multi) {
            curl_multi_wakeup(static_cast<CURLM*>(m_multi));
        }
        thread = std::move(m_thread);
    }
    thread.join();
    std::lock_guard lock(m_mutex);
    m_stopping = false;
    m_threadId = {};
}

void TransferThread::run(void* handle) {
    pthread_setname_np(pthread_self(), "velmora-net");
    auto* multi = static_cast<CURLM*>(handle);
    Carrier carrier(multi);
    for (;;) {
        std::vector<Command> commands;
        bool stopping = false;
        {
            std::lock_guard lock(m_mutex);
            stopping = m_stopping;
            if (stopping) {
                // No wake-up reaches the handle from now on.
                m_multi = nullptr;
            }
            commands.swap(m_commands);
        }
        for (Command& command : commands) {
            if (stopping && command.kind == Command::Kind::Start) {
                command.reader->end({TransferEnd::Kind::Stopped, 0, QStringLiteral("the network is shutting down")});
            } else if (stopping && command.forgotten) {
                command.forgotten->set_value();
            } else if (!stopping) {
                carrier.take(std::move(command));
            }
        }
        if (stopping) {
            carrier.stopAll();
            break;
        }
        carrier.work();
        std::vector<curl_waitfd> direct = carrier.directSockets();
        curl_multi_poll(multi, direct.data(), unsigned(direct.size()), carrier.sleepMs(), nullptr);
    }
}

} // namespace velmora
