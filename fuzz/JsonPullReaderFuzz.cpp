// The JSON pull reader walking any document value by value; giving up (Unsure) is an answer.
#include "FuzzSupport.h"

#include "core/net/JsonReader.h"

namespace {

void walk(velmora::JsonReader& reader) {
    using Kind = velmora::JsonReader::Kind;
    switch (reader.peek()) {
    case Kind::Null:
        reader.readNull();
        break;
    case Kind::Boolean:
        (void)reader.readBoolean();
        break;
    case Kind::Number:
        (void)reader.readDouble();
        break;
    case Kind::String:
        (void)reader.readString();
        break;
    case Kind::Array:
        reader.beginArray();
        while (reader.nextElement()) {
            walk(reader);
        }
        break;
    case Kind::Object: {
        reader.beginObject();
        std::string key;
        bool skip = false;
        while (reader.nextKey(key)) {
            // Alternate between reading a member and skipping it whole.
            if ((skip = !skip)) {
                reader.skipValue();
            } else {
                walk(reader);
            }
        }
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* first = reinterpret_cast<const char*>(data);
    try {
        velmora::JsonReader reader(first, first + size);
        walk(reader);
        reader.finish();
    } catch (const velmora::JsonReader::Unsure&) {
    }
    try {
        velmora::JsonReader reader(first, first + size);
        reader.skipValue();
        reader.finish();
    } catch (const velmora::JsonReader::Unsure&) {
    }
    return 0;
}
