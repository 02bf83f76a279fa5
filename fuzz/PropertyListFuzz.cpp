// The property-list reader (XML and binary), and writing back whatever it accepted.
#include "FuzzSupport.h"

#include "platform/plist/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parsed = velmora::PropertyList::parse(velmora::fuzz::bytes(data, size));
    if (parsed) {
        (void)velmora::PropertyList::toXml(parsed.value());
    }
    return 0;
}
