#pragma once
#include <string>

namespace ostrel {

// The shortest decimal digits that read back as the same float32, written
// positionally (never with an exponent), with no decimal point for whole
// values; "-" for negatives including -0; "NaN", "inf" and "-inf".
std::string format_float32(float value);

}  // namespace ostrel
