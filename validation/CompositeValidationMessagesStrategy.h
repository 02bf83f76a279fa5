#pragma once

namespace velmora {

// How many failure texts a composite shows: every one, or only the first.
enum class CompositeValidationMessagesStrategy { all, onByOne };

} // namespace velmora
