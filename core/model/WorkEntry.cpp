#include "core/model/WorkEntry.h"

#include "core/model/Hashing.h"

namespace velmora {

std::size_t qHash(const WorkEntry& entry, std::size_t seed) {
    return HashBuilder(seed)
        .add(entry.id)
        .add(entry.description)
        .add(entry.descriptionFormat == WorkEntry::DescriptionFormat::plainText)
        .add(entry.spentTime)
        .add(entry.spentTimeSeconds)
        .add(entry.issue)
        .add(entry.started)
        .result();
}

} // namespace velmora
