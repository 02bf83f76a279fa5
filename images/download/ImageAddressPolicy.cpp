#include "images/download/ImageAddressPolicy.h"

namespace velmora::images {

std::shared_ptr<const AddressRule> imageAddressRule(std::function<AddressPlace(const QHostAddress&)> placeOf) {
    auto rule = std::make_shared<AddressRule>();
    rule->placeOf = std::move(placeOf);
    return rule;
}

} // namespace velmora::images
