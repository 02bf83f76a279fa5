#include "images/coders/vector-render/DrawingTemplates.h"

#include "images/coders/vector-render/DrawingMemoryShare.h"
#include "images/coders/vector-render/DrawingProcessPool.h"
#include "images/coders/vector-render/DrawingProgram.h"
#include "images/coders/vector-render/VectorRenderStream.h"
#include "images/core/Teardown.h"

#include <QScopeGuard>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora::images {

namespace {

using Process = DrawingProcess;
using Program = DrawingProgram::File;
using Greeted = DrawingProgram::Greeted;
// How long a template is kept idle now.
std::atomic<qint64> templateIdleExitMs{VectorRenderHost::templateIdleExitMs};

std::chrono::milliseconds templateIdleExitNow() {
    return std::chrono::milliseconds(templateIdleExitMs.load());
}

// The template processes. Each hands over one drawing process at a time (made ready before it is
// asked for), and a copy costs it about a millisecond, so a burst of documents is shared among a
// few templates, one for every four drawing slots and at least two, each started when every
// running one is busy. More did not draw a screen of avatars sooner: each is a program's start,
// and they took the cores from the drawings (a first screen of 40 avatars took 130-150 ms with a
// template for each of 8 slots, 80-87 with two or three, at a load of 11-13).
struct Templates {
    struct Entry {
        Process process;
        // The drawing processes it made ready and has not handed over.
        std::vector<qint64> ready;
        QByteArray program;
        // What each process it makes may hold of memory (see DrawingMemoryShare).
        quint64 copyMemory = 0;
        // When it last made a drawing process.
        std::chrono::steady_clock::time_point used;
        // Taken by a thread that asks it (or starts it).
        bool busy = false;
        // The program whose last template here died (or ended before it greeted), and when one
        // was last started in place of one that died: the next is started no sooner than the
        // spacing after that. Another program starts at once.
        QByteArray died;
        std::optional<std::chrono::steady_clock::time_point> restarted;
    };
    std::mutex mutex;
    std::condition_variable released;
    std::vector<Entry> entries;
    int started = 0;
};

Templates& templates() {
    // Never destroyed: the teardown step may run after statics are gone.
    static auto* instance = [] {
        auto* created = new Templates;
        created->entries.resize(std::size_t(DrawingMemoryShare::current().templates));
        return created;
    }();
    return *instance;
}

// A template taken out of its place, to be ended.
struct EndingTemplate {
    Process process;
    std::vector<qint64> ready;
};

EndingTemplate takeOut(Templates::Entry& entry) {
    return {std::exchange(entry.process, Process{}), std::exchange(entry.ready, {})};
}

// Ends a template and the drawing processes it made ready: told its stream ends, it says what it
// made ready since its last answer and ends (within a second, or it is killed); each is waited
// for, as they are this app's children.
void endTemplate(EndingTemplate ending) {
    if (ending.process.socket >= 0) {
        ::shutdown(ending.process.socket, SHUT_WR);
        VectorRenderStream::drainReady(ending.process.socket, QDeadlineTimer(1000), &ending.ready);
    }
    DrawingProcess::end(ending.process);
    for (const qint64 pid : ending.ready) {
        Process ready{pid_t(pid), -1};
        DrawingProcess::end(ready);
    }
}

// Starts the template processes from one thread that lives as long as the app: the kernel sends a
// process its death signal when the thread that forked it ends, and image threads come and go. The
// drawing processes a template makes are children of this thread too (see
// VectorRenderStream::forkDrawingProcess), and die with it. The thread also ends a template once
// it has made no process for the idle time; it sleeps until then.
class Starter {
public:
    static Starter& instance() {
        // Never destroyed: its thread is blocked for the process's whole life.
        static auto* created = new Starter;
        return *created;
    }

    // A started process (not yet greeted); nothing when it could not be started in time.
    std::optional<Process> start(const Program& program, const QList<QByteArray>& arguments,
                                 const QDeadlineTimer& deadline) {
        auto job = std::make_shared<Job>();
        job->program = program;
        job->arguments = arguments;
        std::unique_lock lock(m_mutex);
        m_jobs.push_back(job);
        m_wake.notify_all();
        while (!job->done) {
            if (Teardown::hasBegun() || deadline.hasExpired()) {
                // The thread ends the process once it has started it.
                job->abandoned = true;
                return std::nullopt;
            }
            m_done.wait_for(lock, std::chrono::milliseconds(DrawingProcess::teardownPollMs));
        }
        return job->process;
    }

    // Looks again when the templates' idle time is up: when it sleeps with no end due (a template
    // was used for the first time since), or when asked to (the idle time changed). A template
    // used again meanwhile makes it look again when the end it waits for comes.
    void lookAgain(bool always = false) {
        std::lock_guard lock(m_mutex);
        if (always || !m_endDue) {
            m_lookAgain = true;
            m_wake.notify_all();
        }
    }

private:
    struct Job {
        Program program;
        QList<QByteArray> arguments;
        std::optional<Process> process;
        bool done = false;
        bool abandoned = false;
    };

    Starter() {
        std::thread([this] { run(); }).detach();
    }

    // Ends the templates whose idle time is up; when the next one is due, or nothing.
    static std::optional<std::chrono::steady_clock::time_point> endIdleTemplates() {
        auto& shared = templates();
        std::vector<EndingTemplate> ending;
        std::optional<std::chrono::steady_clock::time_point> next;
        {
            std::lock_guard lock(shared.mutex);
            const auto now = std::chrono::steady_clock::now();
            const auto idle = templateIdleExitNow();
            for (Templates::Entry& entry : shared.entries) {
                if (entry.busy || entry.process.pid <= 0) {
                    continue;
                }
                const auto due = entry.used + idle;
                if (now >= due) {
                    ending.push_back(takeOut(entry));
                } else if (!next || due < *next) {
                    next = due;
                }
            }
        }
        for (EndingTemplate& template_ : ending) {
            endTemplate(std::move(template_));
        }
        return next;
    }

    void run() {
        // No handler of the app's runs in a child between the fork and its reset of them.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock lock(m_mutex);
        while (true) {
            if (m_jobs.empty()) {
                m_lookAgain = false;
                lock.unlock();
                const auto due = endIdleTemplates();
                lock.lock();
                m_endDue = due.has_value();
                if (m_jobs.empty() && !m_lookAgain) {
                    if (due) {
                        m_wake.wait_until(lock, *due);
                    } else {
                        m_wake.wait(lock);
                    }
                }
                continue;
            }
            const std::shared_ptr<Job> job = m_jobs.front();
            m_jobs.pop_front();
            if (job->abandoned) {
                continue;
            }
            lock.unlock();
            std::optional<Process> process = DrawingProgram::start(job->program, job->arguments);
            lock.lock();
            if (job->abandoned && process) {
                DrawingProcess::end(*process);
                process.reset();
            }
            job->process = process;
            job->done = true;
            m_done.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<std::shared_ptr<Job>> m_jobs;
    bool m_lookAgain = false;
    // Whether it sleeps until a template's end.
    bool m_endDue = false;
};

// A template to ask, taken: a running one of `program`, started for copies of `copyMemory`, that
// is free, or else a free place to start one in; none when every one stays busy past the deadline
// or the teardown begins.
std::optional<std::size_t> takeTemplate(const QByteArray& program, quint64 copyMemory,
                                        const QDeadlineTimer& deadline) {
    auto& shared = templates();
    std::vector<EndingTemplate> ending;
    std::optional<std::size_t> taken;
    {
        std::unique_lock lock(shared.mutex);
        while (!taken) {
            if (Teardown::hasBegun() || deadline.hasExpired()) {
                break;
            }
            std::optional<std::size_t> empty;
            const std::size_t places =
                std::min(shared.entries.size(), std::size_t(DrawingMemoryShare::current().templates));
            for (std::size_t i = 0; i < places && !taken; ++i) {
                Templates::Entry& entry = shared.entries[i];
                if (entry.busy) {
                    continue;
                }
                if (entry.process.pid > 0 && entry.program == program && entry.copyMemory == copyMemory) {
                    taken = i;
                } else if (!empty) {
                    empty = i;
                }
            }
            if (!taken && empty) {
                taken = empty;
                Templates::Entry& entry = shared.entries[*empty];
                if (entry.process.pid > 0) {
                    // Of another program, or of another share.
                    ending.push_back(takeOut(entry));
                }
            }
            if (taken) {
                shared.entries[*taken].busy = true;
            } else {
                shared.released.wait_for(lock, std::chrono::milliseconds(DrawingProcess::teardownPollMs));
            }
        }
    }
    for (EndingTemplate& template_ : ending) {
        endTemplate(std::move(template_));
    }
    return taken;
}

void giveBackTemplate(std::size_t index) {
    auto& shared = templates();
    {
        std::lock_guard lock(shared.mutex);
        shared.entries[index].busy = false;
        shared.entries[index].used = std::chrono::steady_clock::now();
    }
    shared.released.notify_one();
    // Its idle time from now on.
    Starter::instance().lookAgain();
}

enum class Made { Yes, No, Refused };

// Whether a template of `program` may be started in `entry` now: always, unless its last one
// died, when one was started in place of a dead one less than the spacing ago. Taken, so this
// thread alone reads or changes it.
bool mayStartTemplate(Templates::Entry& entry, const QByteArray& program) {
    if (entry.died != program) {
        entry.died.clear();
        entry.restarted.reset();
        return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (entry.restarted &&
        now - *entry.restarted < std::chrono::milliseconds(VectorRenderHost::templateRestartSpacingMs)) {
        return false;
    }
    entry.restarted = now;
    entry.died.clear();
    return true;
}

// Starts a template in `entry` (taken) and waits for its greeting. False when none greeted, or the
// program was refused (`made` says so).
bool startTemplate(Templates::Entry& entry, const Program& program, quint64 copyMemory,
                   const QDeadlineTimer& deadline, Made* made) {
    std::optional<Process> started = Starter::instance().start(
        program, {VectorRenderProtocol::copyMemoryArgument + QByteArray::number(copyMemory)}, deadline);
    if (!started) {
        return false;
    }
    DrawingProcessPool::count(&VectorRenderHost::Counts::programs);
    const Greeted said = DrawingProgram::greeted(*started, program.path, true, deadline);
    if (said != Greeted::Yes) {
        // Before the deadline, its stream ended without a greeting: the process ended on its
        // own, or is ending.
        const bool ended = said == Greeted::Silent && !deadline.hasExpired() && !Teardown::hasBegun();
        const int status = DrawingProcess::end(*started);
        if (ended) {
            DrawingProgram::logEndBeforeGreeting(program.path, status);
            entry.died = program.path;
        }
        *made = said == Greeted::Refused ? Made::Refused : Made::No;
        return false;
    }
    std::lock_guard lock(templates().mutex);
    entry.process = *started;
    entry.program = program.path;
    entry.copyMemory = copyMemory;
    ++templates().started;
    return true;
}

// A new drawing process (not yet greeted), made by a template, which is started first when none is
// free; nothing when none could be made in time, or the template was refused (`made` says which).
// A template found gone when asked (killed, or crashed) is ended, and another is started in its
// place and asked at once, as the spacing of such starts allows: the document never pays for it.
std::optional<Process> makeDrawingProcess(const Program& program, const QDeadlineTimer& deadline,
                                          Made* made) {
    *made = Made::No;
    const quint64 copyMemory = DrawingMemoryShare::current().perCopy;
    const auto index = takeTemplate(program.path, copyMemory, deadline);
    if (!index) {
        return std::nullopt;
    }
    const auto giveBack = qScopeGuard([&index] { giveBackTemplate(*index); });
    // Taken, so this thread alone reads or changes it.
    Templates::Entry& entry = templates().entries[*index];
    for (bool startedHere = false;;) {
        if (entry.process.pid <= 0) {
            if (!mayStartTemplate(entry, program.path) ||
                !startTemplate(entry, program, copyMemory, deadline, made)) {
                return std::nullopt;
            }
            startedHere = true;
        }
        const bool asked = VectorRenderStream::sendForkRequest(entry.process.socket, deadline,
                                                               VectorRenderStream::Watch::Teardown);
        const auto answer =
            asked ? VectorRenderStream::receiveForkAnswer(entry.process.socket, deadline,
                                                          VectorRenderStream::Watch::Teardown, &entry.ready)
                  : std::nullopt;
        if (answer) {
            if (answer->pid <= 0) {
                return std::nullopt;
            }
            *made = Made::Yes;
            return Process{pid_t(answer->pid), answer->socket};
        }
        // Gone, or out of step with its answers: ended, and another started in its place.
        EndingTemplate gone;
        {
            std::lock_guard lock(templates().mutex);
            gone = takeOut(entry);
        }
        endTemplate(std::move(gone));
        if (deadline.hasExpired() || Teardown::hasBegun()) {
            return std::nullopt;
        }
        entry.died = program.path;
        if (startedHere) {
            // The one started for this document died at once: the next document tries again.
            return std::nullopt;
        }
        startedHere = true;
    }
}

// Ends the templates of `program` that no thread is asking, with the processes they made ready
// (when it is refused: none of them is asked again).
void endTemplatesOf(const QByteArray& program) {
    auto& shared = templates();
    std::vector<EndingTemplate> ending;
    {
        std::lock_guard lock(shared.mutex);
        for (Templates::Entry& entry : shared.entries) {
            if (!entry.busy && entry.process.pid > 0 && entry.program == program) {
                ending.push_back(takeOut(entry));
            }
        }
    }
    for (EndingTemplate& template_ : ending) {
        endTemplate(std::move(template_));
    }
}

// Whether a process of this one's has ended (not yet waited for).
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Ends every template, waiting for those in use to be given back (at the teardown, within a few
// milliseconds; at most two seconds).
void endTemplates() {
    auto& shared = templates();
    std::vector<EndingTemplate> ending;
    {
        std::unique_lock lock(shared.mutex);
        shared.released.wait_for(lock, std::chrono::seconds(2), [&shared] {
            return std::none_of(shared.entries.begin(), shared.entries.end(),
                                [](const Templates::Entry& entry) { return entry.busy; });
        });
        for (Templates::Entry& entry : shared.entries) {
            if (!entry.busy && entry.process.pid > 0) {
                ending.push_back(takeOut(entry));
            }
        }
    }
    for (EndingTemplate& template_ : ending) {
        endTemplate(std::move(template_));
    }
}

} // namespace

std::optional<DrawingProcess> DrawingTemplates::startDrawingProcess(const QDeadlineTimer& deadline,
                                                                    VectorRenderHost::Failure* failure) {
    const Program chosen = DrawingProgram::current();
    if (chosen.descriptor < 0) {
        // Logged once, with the places looked at.
        (void)VectorRenderHost::programPath();
        *failure = VectorRenderHost::Failure::NoProgram;
        return std::nullopt;
    }
    if (DrawingProgram::refused()) {
        *failure = VectorRenderHost::Failure::ProgramRefused;
        return std::nullopt;
    }
    // A copy made ready that was killed before it was handed over (the kernel ends them first
    // when memory runs out, see DrawingMemoryShare) costs no avatar: a template's next is asked
    // for, as many times as there are templates (each may have held one so).
    for (int handed = 0;; ++handed) {
        *failure = VectorRenderHost::Failure::NoGreeting;
        Made made = Made::No;
        auto process = makeDrawingProcess(chosen, deadline, &made);
        if (!process) {
            if (made == Made::Refused) {
                *failure = VectorRenderHost::Failure::ProgramRefused;
            }
            return std::nullopt;
        }
        const Greeted said = DrawingProgram::greeted(*process, chosen.path, false, deadline);
        // It greeted as it was made ready: killed since, it is gone before it reads a document.
        if (said == Greeted::Yes && !hasEnded(process->pid)) {
            *failure = VectorRenderHost::Failure::None;
            DrawingProcessPool::noteStarted();
            return process;
        }
        // Before the deadline, its stream ended (with or without a greeting): it ended, or was
        // killed.
        const bool ended = (said == Greeted::Silent && !deadline.hasExpired() && !Teardown::hasBegun()) ||
                           said == Greeted::Yes;
        const int status = DrawingProcess::end(*process);
        const bool killed = ended && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        if (killed && handed < DrawingMemoryShare::current().templates) {
            continue;
        }
        if (ended && said == Greeted::Silent) {
            DrawingProgram::logEndBeforeGreeting(chosen.path, status);
        }
        if (said == Greeted::Refused) {
            *failure = VectorRenderHost::Failure::ProgramRefused;
            // Asked no more: nor is any process its templates made ready, which would be left
            // this app's children, ended and never waited for.
            endTemplatesOf(chosen.path);
        }
        return std::nullopt;
    }
}

void DrawingTemplates::endAll() {
    endTemplates();
}

void DrawingTemplates::setIdleExit(std::chrono::milliseconds idle) {
    templateIdleExitMs.store(idle.count());
    Starter::instance().lookAgain(true);
}

std::pair<int, int> DrawingTemplates::forTesting() {
    auto& shared = templates();
    std::lock_guard lock(shared.mutex);
    return {shared.started,
            int(std::count_if(shared.entries.begin(), shared.entries.end(),
                              [](const Templates::Entry& entry) { return entry.process.pid > 0; }))};
}

} // namespace velmora::images
