#pragma once

#include "images/coders/vector-render/VectorRenderProtocol.h"
#include "images/coders/vector-render/VectorRenderStream.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QStringList>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <thread>
#include <vector>

extern char** environ;

// What the tests of the drawing program share: the program started by the test itself (no host,
// so no deadline of the asking side ends a drawing), and a busy machine made on purpose.
namespace velmora::images::testing {

// The drawing program at `path`, started with `arguments` as its template process (its standard
// input and output one end of a socket), and one drawing process made by it, whose socket this
// asks on; both killed when this goes.
class SpawnedDrawingProgram {
public:
    explicit SpawnedDrawingProgram(const QString& path, const QStringList& arguments = {}) {
        int sockets[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, sockets[1], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, sockets[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<QByteArray> words{QFile::encodeName(path)};
        for (const QString& argument : arguments) {
            words.push_back(argument.toUtf8());
        }
        std::vector<char*> pointers;
        for (QByteArray& word : words) {
            pointers.push_back(word.data());
        }
        pointers.push_back(nullptr);
        if (::posix_spawn(&m_template, pointers.front(), &actions, nullptr, pointers.data(), environ) != 0) {
            m_template = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(sockets[1]);
        m_control = sockets[0];
    }
    ~SpawnedDrawingProgram() {
        if (m_socket >= 0) {
            ::close(m_socket);
        }
        if (m_control >= 0) {
            // The template says which processes it made ready since, and ends.
            ::shutdown(m_control, SHUT_WR);
            VectorRenderStream::drainReady(m_control, QDeadlineTimer(1000), &m_ready);
        }
        std::vector<qint64> pids(m_ready);
        pids.push_back(m_pid);
        pids.push_back(m_template);
        for (const qint64 pid : pids) {
            if (pid > 0) {
                ::kill(pid_t(pid), SIGKILL);
                ::waitpid(pid_t(pid), nullptr, 0);
            }
        }
        if (m_control >= 0) {
            ::close(m_control);
        }
    }
    SpawnedDrawingProgram(const SpawnedDrawingProgram&) = delete;
    SpawnedDrawingProgram& operator=(const SpawnedDrawingProgram&) = delete;

    // The drawing process.
    pid_t pid() const { return m_pid; }
    pid_t templatePid() const { return m_template; }

    // Whether, within `withinMs`, the template greeted as this version's and made a drawing
    // process that greeted confined as a whole; what that one said goes to `said`.
    bool greeted(int withinMs, VectorRenderProtocol::Greeting* said = nullptr) {
        const QDeadlineTimer deadline(withinMs);
        char greeting[VectorRenderProtocol::greetingSize];
        if (m_template <= 0 ||
            !VectorRenderStream::receive(m_control, greeting, sizeof greeting, deadline,
                                         VectorRenderStream::Watch::Nothing) ||
            !VectorRenderProtocol::greetingStartsWell(greeting) ||
            !VectorRenderProtocol::decodeGreeting(greeting).isTemplate) {
            return false;
        }
        const bool asked =
            VectorRenderStream::sendForkRequest(m_control, deadline, VectorRenderStream::Watch::Nothing);
        const auto handed = asked ? VectorRenderStream::receiveForkAnswer(
                                        m_control, deadline, VectorRenderStream::Watch::Nothing, &m_ready)
                                  : std::nullopt;
        if (!handed || handed->pid <= 0) {
            return false;
        }
        m_pid = pid_t(handed->pid);
        m_socket = handed->socket;
        if (!receive(greeting, sizeof greeting, deadline) ||
            !VectorRenderProtocol::greetingStartsWell(greeting)) {
            return false;
        }
        const auto decoded = VectorRenderProtocol::decodeGreeting(greeting);
        if (said) {
            *said = decoded;
        }
        return decoded.version == VectorRenderProtocol::version && !decoded.unconfined && !decoded.isTemplate;
    }

    // The answer to `request` (its pixels read too), within `withinMs`; nothing when none came.
    // A process that answered before is continued first, once it has stopped itself after that
    // answer (or ended).
    std::optional<VectorRenderProtocol::Answer> ask(const VectorRenderProtocol::Request& request,
                                                    int withinMs) {
        const QDeadlineTimer deadline(withinMs);
        if (m_answered) {
            while (!stoppedOrEnded() && !deadline.hasExpired()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ::kill(m_pid, SIGCONT);
        }
        m_answered = true;
        const QByteArray header = VectorRenderProtocol::encodeRequestHeader(request);
        char answerHeader[VectorRenderProtocol::answerHeaderSize];
        if (!send(header, deadline) || !send(request.document, deadline) ||
            !receive(answerHeader, sizeof answerHeader, deadline)) {
            return std::nullopt;
        }
        auto answer = VectorRenderProtocol::decodeAnswerHeader(answerHeader, request);
        if (answer && !answer->image.isNull() &&
            !receive(reinterpret_cast<char*>(answer->image.bits()), answer->image.sizeInBytes(), deadline)) {
            return std::nullopt;
        }
        return answer;
    }

    // Whether it is still running (not ended, not a zombie).
    bool running() const {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(m_pid));
        if (!stat.open(QIODevice::ReadOnly)) {
            return false;
        }
        const QByteArray text = stat.readAll();
        const qsizetype at = text.lastIndexOf(')') + 2;
        return at < text.size() && text.at(at) != 'Z' && text.at(at) != 'X';
    }

private:
    bool stoppedOrEnded() const {
        siginfo_t info{};
        return ::waitid(P_PID, id_t(m_pid), &info, WSTOPPED | WEXITED | WNOHANG | WNOWAIT) != 0 ||
               info.si_pid == m_pid;
    }
    bool send(const QByteArray& bytes, const QDeadlineTimer& deadline) {
        return VectorRenderStream::send(m_socket, bytes.constData(), bytes.size(), deadline,
                                        VectorRenderStream::Watch::Nothing);
    }
    bool receive(char* data, qsizetype size, const QDeadlineTimer& deadline) {
        return VectorRenderStream::receive(m_socket, data, size, deadline,
                                           VectorRenderStream::Watch::Nothing);
    }

    pid_t m_template = -1;
    int m_control = -1;
    // The drawing processes the template made ready and did not hand over.
    std::vector<qint64> m_ready;
    pid_t m_pid = -1;
    int m_socket = -1;
    bool m_answered = false;
};

// A machine too busy to give some processes the CPU: while this lives, each process `pids` names
// (those there at first and those that come) runs `runMs` in every `periodMs` at most and is
// stopped the rest (its CPU time stands still, its wall time goes on). A run that this thread, on
// a loaded machine, let go on longer is followed by a stop as much longer (up to five periods).
// Every one is let go on the way out.
class Throttle {
public:
    Throttle(std::function<std::set<qint64>()> pids, int runMs = 5, int periodMs = 100)
        : m_thread([this, pids = std::move(pids), runMs, periodMs] {
              using Clock = std::chrono::steady_clock;
              std::set<qint64> stopped;
              const auto stopNew = [&] {
                  for (const qint64 pid : pids()) {
                      if (stopped.insert(pid).second) {
                          ::kill(pid_t(pid), SIGSTOP);
                      }
                  }
              };
              stopNew();
              while (m_going.load()) {
                  const auto running = Clock::now();
                  for (const qint64 pid : stopped) {
                      ::kill(pid_t(pid), SIGCONT);
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(runMs));
                  for (const qint64 pid : stopped) {
                      ::kill(pid_t(pid), SIGSTOP);
                  }
                  const auto ran = Clock::now() - running;
                  const auto until =
                      Clock::now() + std::min<Clock::duration>(ran * (periodMs - runMs) / runMs,
                                                               std::chrono::milliseconds(5 * periodMs));
                  // One that comes meanwhile is stopped at once, not at the next period.
                  while (Clock::now() < until && m_going.load()) {
                      stopNew();
                      std::this_thread::sleep_for(std::chrono::milliseconds(1));
                  }
              }
              for (const qint64 pid : stopped) {
                  ::kill(pid_t(pid), SIGCONT);
              }
          }) {}
    ~Throttle() {
        m_going.store(false);
        m_thread.join();
    }
    Throttle(const Throttle&) = delete;
    Throttle& operator=(const Throttle&) = delete;

private:
    std::atomic<bool> m_going{true};
    std::thread m_thread;
};

} // namespace velmora::images::testing
