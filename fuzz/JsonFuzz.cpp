// libFuzzer target for the JSON parser and writer. Build with clang, for example:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Iinclude -Isrc \
//       fuzz/JsonFuzz.cpp src/json/JsonValue.cpp src/platform/Text.cpp -o json_fuzz
// Beyond "no crash", it checks that whatever parses is written as ASCII that parses again
// to the same text, in both the compact and the indented form, and that a clone writes
// the same text as its original.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/JsonValue.h"

namespace
{

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

bool IsAscii(const std::string& text)
{
    for (char c : text)
    {
        if (static_cast<unsigned char>(c) > 0x7E || (static_cast<unsigned char>(c) < 0x20 && c != '\n'))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const JsonValue::Ptr root = JsonValue::Parse(input);
    if (!root)
        return 0;

    const std::string compact = root->StringifyNarrow();
    Require(IsAscii(compact));
    Require(root->Clone()->StringifyNarrow() == compact);

    const JsonValue::Ptr again = JsonValue::Parse(compact);
    Require(again != nullptr);
    const std::string second = again->StringifyNarrow();
    const JsonValue::Ptr third = JsonValue::Parse(second);
    Require(third != nullptr && third->StringifyNarrow() == second);

    const JsonValue::Ptr indented = JsonValue::Parse(root->StringifyNarrow(1));
    Require(indented != nullptr && indented->StringifyNarrow() == compact);
    return 0;
}
