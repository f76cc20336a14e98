#pragma once

#include <cstdint>
#include <string>

namespace brisko::records {

// The user's options, loaded once at start-up and written back only by the options window.
// Every flag is a 16-bit value where 1 means on and 0 off; other values can come from a hand-edited
// store and are kept as they are, because each reader applies its own test ("equals 1" or "not 0").
// A field whose stored text could not be read as a number stays 0.
struct Settings {
    std::int16_t Overwrite = 0;
    std::int16_t Prompt = 0;
    std::int16_t Newer = 0;
    std::int16_t SingleSub = 0;
    std::int16_t SeparateSubs = 0;
    std::int16_t SameFolder = 0;
    std::string SubFolderName; // UTF-8
    std::int16_t DeleteOriginals = 0;
    std::int16_t ZipsInZips = 0;
    std::int16_t Recurse = 0;
};

} // namespace brisko::records
