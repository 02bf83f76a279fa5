#pragma once

#include "core/model/Issue.h"
#include "core/model/Project.h"

#include <functional>
#include <memory>

namespace velmora {

class FormManager;

// What the booking sheet needs of a booking form, whatever the tracker: the task
// to book on, the duration, the form's validity, the two flags it shows and the
// save. AbstractWorkLogForm implements it; the sheet reaches forms only through it.
class WorkLogFormProtocol {
public:
    virtual ~WorkLogFormProtocol() = default;

    virtual const Project& project() const = 0;
    virtual void setProject(Project project) = 0;
    virtual const Issue& task() const = 0;
    virtual void setTask(Issue task) = 0;
    virtual const std::shared_ptr<FormManager>& manager() const = 0;
    virtual void setManager(std::shared_ptr<FormManager> manager) = 0;
    // Seconds.
    virtual double duration() const = 0;
    virtual void setDuration(double seconds) = 0;
    virtual bool errorOccurred() const = 0;
    virtual void setErrorOccurred(bool errorOccurred) = 0;
    virtual bool networkRequestInProgress() const = 0;
    virtual void setNetworkRequestInProgress(bool inProgress) = 0;

    // Books the work. An invalid form sends nothing, changes no flag and never calls
    // `completion`; otherwise `completion` runs on the main thread once the tracker
    // accepted the booking, and a failure sets errorOccurred instead.
    virtual void save(std::function<void()> completion) = 0;
};

} // namespace velmora
