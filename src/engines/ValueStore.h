#pragma once

#include <string>

namespace brisko::engines {

// The settings values the engines keep for themselves (the remembered password). A value is a run
// of bytes 0 to 255 and comes back exactly as written. The settings store implements it.
class ValueStore {
public:
    virtual ~ValueStore() = default;
    // The value, or the empty text when there is none or it cannot be read.
    virtual std::string ReadValue(const std::string& key) = 0;
    // Stores the value; a failure is not reported.
    virtual void WriteValue(const std::string& key, const std::string& value) = 0;
};

} // namespace brisko::engines
