#pragma once

#include "platform/net/AddressRule.h"

#include <QHostAddress>

#include <functional>
#include <memory>

namespace velmora::images {

// Where an avatar may be fetched from: an image a tracker names is the tracker's (or anyone's)
// choice, not the user's, so its first hop never reaches the local link and a redirect never
// leads further inward than the first hop went. `placeOf` stands in for the places of
// addresses (tests map loopback addresses to others); none: where they really lead.
std::shared_ptr<const AddressRule> imageAddressRule(std::function<AddressPlace(const QHostAddress&)> placeOf);

} // namespace velmora::images
