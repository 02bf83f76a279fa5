#pragma once

namespace velmora {

// The account a tracker's booking form books on, and that account's service. Mixed
// into the tracker forms next to AbstractWorkLogForm.
template <typename Provider, typename Service> class InteractsWithProvider {
public:
    virtual ~InteractsWithProvider() = default;

    virtual const Provider& provider() const = 0;
    virtual Service& service() const = 0;
};

} // namespace velmora
