#include "json/JsonValue.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "platform/Text.h"

namespace
{

constexpr bool IsDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

constexpr char16_t FoldAscii(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Recursive descent over UTF-16 text. Every failure returns nullptr or false and the
// partly built subtree is released by its owning pointers on the way out.
class JsonParser
{
public:
    explicit JsonParser(std::u16string_view text) : m_text(text) {}

    JsonValue::Ptr ParseDocument()
    {
        if (!SkipSpace())
            return nullptr;
        JsonValue::Ptr root = ParseValue(0);
        if (!root || SkipSpace())
            return nullptr;
        return root;
    }

private:
    bool AtEnd() const { return m_pos >= m_text.size(); }

    // Returns false when the end of the text is reached.
    bool SkipSpace()
    {
        while (!AtEnd())
        {
            const char16_t c = m_text[m_pos];
            if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r')
                return true;
            ++m_pos;
        }
        return false;
    }

    // Keywords are accepted in any letter case. What follows the word is left to the
    // enclosing context, which rejects anything but a separator.
    bool TakeWord(std::u16string_view word)
    {
        if (m_text.size() - m_pos < word.size())
            return false;
        for (size_t i = 0; i < word.size(); ++i)
        {
            if (FoldAscii(m_text[m_pos + i]) != word[i])
                return false;
        }
        m_pos += word.size();
        return true;
    }

    // depth counts the containers enclosing the value.
    JsonValue::Ptr ParseValue(unsigned depth)
    {
        if (AtEnd())
            return nullptr;
        const char16_t c = m_text[m_pos];
        if (c == u'"')
        {
            std::u16string text;
            if (!ParseString(text))
                return nullptr;
            return JsonValue::MakeString(std::move(text));
        }
        if (TakeWord(u"true"))
            return JsonValue::MakeBool(true);
        if (TakeWord(u"false"))
            return JsonValue::MakeBool(false);
        if (TakeWord(u"null"))
            return JsonValue::MakeNull();
        if (c == u'-' || IsDigit(c))
            return ParseNumber();
        if (c == u'[' || c == u'{')
        {
            if (depth >= JsonValue::kMaxDepth)
                return nullptr;
            return c == u'[' ? ParseArray(depth + 1) : ParseObject(depth + 1);
        }
        return nullptr;
    }

    size_t SkipDigits()
    {
        const size_t start = m_pos;
        while (!AtEnd() && IsDigit(m_text[m_pos]))
            ++m_pos;
        return m_pos - start;
    }

    JsonValue::Ptr ParseNumber()
    {
        const size_t start = m_pos;
        const bool negative = m_text[m_pos] == u'-';
        if (negative)
            ++m_pos;
        if (AtEnd() || !IsDigit(m_text[m_pos]))
            return nullptr;
        // A leading zero ends the integer part; a digit after it is left to the context,
        // which rejects it.
        const size_t intStart = m_pos;
        if (m_text[m_pos] == u'0')
            ++m_pos;
        else
            SkipDigits();
        const size_t intEnd = m_pos;
        size_t fracStart = m_pos;
        size_t fracEnd = m_pos;
        if (!AtEnd() && m_text[m_pos] == u'.')
        {
            ++m_pos;
            fracStart = m_pos;
            if (SkipDigits() == 0)
                return nullptr;
            fracEnd = m_pos;
        }
        size_t expStart = m_pos;
        size_t expEnd = m_pos;
        bool expNegative = false;
        if (!AtEnd() && (m_text[m_pos] == u'e' || m_text[m_pos] == u'E'))
        {
            ++m_pos;
            if (!AtEnd() && (m_text[m_pos] == u'+' || m_text[m_pos] == u'-'))
                expNegative = m_text[m_pos++] == u'-';
            expStart = m_pos;
            if (SkipDigits() == 0)
                return nullptr;
            expEnd = m_pos;
        }

        // The token is validated ASCII, so narrowing it is exact; from_chars rounds
        // correctly and, unlike strtod, ignores the process locale.
        m_number.assign(m_text.begin() + static_cast<std::ptrdiff_t>(start),
                        m_text.begin() + static_cast<std::ptrdiff_t>(m_pos));
        double value = 0.0;
        const auto [end, err] = std::from_chars(m_number.data(), m_number.data() + m_number.size(), value);
        if (err == std::errc::result_out_of_range)
        {
            value = OutOfRangeMagnitude(intStart, intEnd, fracStart, fracEnd, expStart, expEnd, expNegative);
            if (negative)
                value = -value;
        }
        else if (err != std::errc() || end != m_number.data() + m_number.size())
        {
            return nullptr;
        }
        return JsonValue::MakeNumber(value);
    }

    // from_chars leaves the value alone when it does not fit a double. Overflow and
    // underflow are told apart by the decimal exponent of the first significant digit:
    // overflow needs it far above zero, underflow far below.
    double OutOfRangeMagnitude(size_t intStart, size_t intEnd, size_t fracStart, size_t fracEnd,
                               size_t expStart, size_t expEnd, bool expNegative) const
    {
        constexpr int64_t kExponentCap = 1'000'000'000;
        int64_t exponent = 0;
        for (size_t i = expStart; i < expEnd && exponent < kExponentCap; ++i)
            exponent = exponent * 10 + (m_text[i] - u'0');
        if (expNegative)
            exponent = -exponent;
        int64_t leading = 0;
        bool found = false;
        for (size_t i = intStart; i < intEnd && !found; ++i)
        {
            if (m_text[i] != u'0')
            {
                leading = static_cast<int64_t>(intEnd - i) - 1;
                found = true;
            }
        }
        for (size_t i = fracStart; i < fracEnd && !found; ++i)
        {
            if (m_text[i] != u'0')
            {
                leading = -static_cast<int64_t>(i - fracStart) - 1;
                found = true;
            }
        }
        if (!found)
            return 0.0;
        return leading + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }

    // At the opening quote. Surrogates written as \u escapes are taken one code unit at a
    // time, so an escaped pair yields the same text as the raw character.
    bool ParseString(std::u16string& out)
    {
        ++m_pos;
        for (;;)
        {
            size_t runStart = m_pos;
            while (!AtEnd())
            {
                const char16_t c = m_text[m_pos];
                if (c == u'"' || c == u'\\' || (c < 0x20 && c != u'\t'))
                    break;
                ++m_pos;
            }
            out.append(m_text.substr(runStart, m_pos - runStart));
            if (AtEnd())
                return false;
            const char16_t c = m_text[m_pos++];
            if (c == u'"')
                return true;
            if (c != u'\\' || AtEnd())
                return false;
            const char16_t escape = m_text[m_pos++];
            switch (escape)
            {
            case u'"':
            case u'/':
            case u'\\':
                out.push_back(escape);
                break;
            case u'b':
                out.push_back(u'\b');
                break;
            case u'f':
                out.push_back(u'\f');
                break;
            case u'n':
                out.push_back(u'\n');
                break;
            case u'r':
                out.push_back(u'\r');
                break;
            case u't':
                out.push_back(u'\t');
                break;
            case u'u':
            {
                if (m_text.size() - m_pos < 4)
                    return false;
                unsigned unit = 0;
                for (int i = 0; i < 4; ++i)
                {
                    const int digit = HexDigit(m_text[m_pos++]);
                    if (digit < 0)
                        return false;
                    unit = unit * 16 + static_cast<unsigned>(digit);
                }
                out.push_back(static_cast<char16_t>(unit));
                break;
            }
            default:
                return false;
            }
        }
    }

    // At the '['.
    JsonValue::Ptr ParseArray(unsigned depth)
    {
        ++m_pos;
        JsonValue::Children elements;
        for (;;)
        {
            if (!SkipSpace())
                return nullptr;
            if (elements.empty() && m_text[m_pos] == u']')
            {
                ++m_pos;
                break;
            }
            JsonValue::Ptr element = ParseValue(depth);
            if (!element)
                return nullptr;
            elements.push_back(std::move(element));
            if (!SkipSpace())
                return nullptr;
            const char16_t c = m_text[m_pos++];
            if (c == u']')
                break;
            if (c != u',')
                return nullptr;
        }
        return JsonValue::MakeArray(std::move(elements));
    }

    // At the '{'. A key must be a quoted string.
    JsonValue::Ptr ParseObject(unsigned depth)
    {
        ++m_pos;
        JsonValue::Children members;
        for (;;)
        {
            if (!SkipSpace())
                return nullptr;
            if (members.empty() && m_text[m_pos] == u'}')
            {
                ++m_pos;
                break;
            }
            if (m_text[m_pos] != u'"')
                return nullptr;
            std::u16string key;
            if (!ParseString(key) || !SkipSpace() || m_text[m_pos] != u':')
                return nullptr;
            ++m_pos;
            if (!SkipSpace())
                return nullptr;
            JsonValue::Ptr value = ParseValue(depth);
            if (!value)
                return nullptr;
            value->SetName(std::move(key));
            members.push_back(std::move(value));
            if (!SkipSpace())
                return nullptr;
            const char16_t c = m_text[m_pos++];
            if (c == u'}')
                break;
            if (c != u',')
                return nullptr;
        }
        return JsonValue::MakeObject(std::move(members));
    }

    std::u16string_view m_text;
    size_t m_pos = 0;
    std::string m_number; // reused scratch for number tokens
};

// Writes into a UTF-16 or a narrow string; the output is ASCII either way.
template <class String> class JsonWriter
{
public:
    explicit JsonWriter(String& out) : m_out(out) {}

    void Write(const JsonValue& value, unsigned depth)
    {
        switch (value.Kind())
        {
        case JsonKind::Null:
            PutAscii("null");
            break;
        case JsonKind::Bool:
            PutAscii(value.AsBool() ? "true" : "false");
            break;
        case JsonKind::Int:
            PutNumber(value.AsInt());
            break;
        case JsonKind::Float:
            PutReal(static_cast<double>(value.AsFloat()), 8);
            break;
        case JsonKind::Double:
            PutReal(value.AsDouble(), 15);
            break;
        case JsonKind::String:
            PutEscaped(value.AsString());
            break;
        case JsonKind::Array:
            PutContainer(value, depth, '[', ']', false);
            break;
        case JsonKind::Object:
            PutContainer(value, depth, '{', '}', true);
            break;
        }
    }

private:
    using Char = typename String::value_type;

    void Put(char c) { m_out.push_back(static_cast<Char>(c)); }

    void PutAscii(std::string_view text)
    {
        for (char c : text)
            Put(c);
    }

    // Indentation of level k: two spaces per level above the first.
    void PutIndent(unsigned level)
    {
        if (level > 1)
            m_out.append(2 * static_cast<size_t>(level - 1), static_cast<Char>(' '));
    }

    template <class Number> void PutNumber(Number number)
    {
        char buffer[24];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
        PutAscii(std::string_view(buffer, static_cast<size_t>(result.ptr - buffer)));
    }

    // %g-style text at the given precision (8 for Float, 15 for Double). When those digits
    // would read back as another number (2147483648 as a Float is 2.1474836e+09), the
    // shortest text that reads back exactly is written instead, so writing and parsing
    // again never changes a value. to_chars ignores the process locale.
    void PutReal(double number, int precision)
    {
        if (!std::isfinite(number))
        {
            PutAscii("null");
            return;
        }
        char buffer[64];
        char* const last = buffer + sizeof buffer;
        char* end = std::to_chars(buffer, last, number, std::chars_format::general, precision).ptr;
        double reread = 0.0;
        std::from_chars(buffer, end, reread);
        if (reread != number)
            end = std::to_chars(buffer, last, number).ptr;
        PutAscii(std::string_view(buffer, static_cast<size_t>(end - buffer)));
    }

    void PutEscaped(std::u16string_view text)
    {
        static constexpr char kHex[] = "0123456789ABCDEF";
        Put('"');
        for (char16_t c : text)
        {
            switch (c)
            {
            case u'"':
            case u'/':
            case u'\\':
                Put('\\');
                Put(static_cast<char>(c));
                break;
            case u'\b':
                PutAscii("\\b");
                break;
            case u'\t':
                PutAscii("\\t");
                break;
            case u'\n':
                PutAscii("\\n");
                break;
            case u'\f':
                PutAscii("\\f");
                break;
            case u'\r':
                PutAscii("\\r");
                break;
            default:
                if (c >= 0x20 && c <= 0x7E)
                {
                    Put(static_cast<char>(c));
                }
                else
                {
                    PutAscii("\\u");
                    for (int shift = 12; shift >= 0; shift -= 4)
                        Put(kHex[(c >> shift) & 0xF]);
                }
                break;
            }
        }
        Put('"');
    }

    // Compact at depth 0. Indented at depth d > 0: the opening bracket, a line break, the
    // children written at depth d + 1 on one line, a line break and the closing bracket.
    void PutContainer(const JsonValue& value, unsigned depth, char open, char close, bool named)
    {
        const unsigned inner = depth > 0 ? depth + 1 : 0;
        Put(open);
        if (depth > 0)
        {
            Put('\n');
            PutIndent(inner);
        }
        bool first = true;
        for (const JsonValue::Ptr& child : value.Items())
        {
            if (!first)
                Put(',');
            first = false;
            if (named)
            {
                PutEscaped(child->Name());
                Put(':');
            }
            Write(*child, inner);
        }
        if (depth > 0)
        {
            Put('\n');
            PutIndent(depth);
        }
        Put(close);
    }

    String& m_out;
};

} // namespace

// ---------------------------------------------------------------------------------------

JsonValue::JsonValue() = default;
JsonValue::~JsonValue() = default;

JsonValue::Ptr JsonValue::Parse(std::u16string_view wide)
{
    return JsonParser(wide).ParseDocument();
}

JsonValue::Ptr JsonValue::Parse(std::string_view narrow)
{
    if (!IsValidUtf8(narrow))
        return nullptr;
    return Parse(Utf8ToUtf16(narrow));
}

JsonValue::Ptr JsonValue::MakeNull()
{
    return std::make_unique<JsonValue>();
}

JsonValue::Ptr JsonValue::MakeBool(bool value)
{
    Ptr node = MakeNull();
    node->SetBool(value);
    return node;
}

JsonValue::Ptr JsonValue::MakeInt(int32_t value)
{
    Ptr node = MakeNull();
    node->SetInt(value);
    return node;
}

JsonValue::Ptr JsonValue::MakeFloat(float value)
{
    Ptr node = MakeNull();
    node->SetFloat(value);
    return node;
}

JsonValue::Ptr JsonValue::MakeDouble(double value)
{
    Ptr node = MakeNull();
    node->SetDouble(value);
    return node;
}

JsonValue::Ptr JsonValue::MakeString(std::u16string text)
{
    Ptr node = MakeNull();
    node->SetString(std::move(text));
    return node;
}

JsonValue::Ptr JsonValue::MakeArray(Children elements)
{
    Ptr node = MakeNull();
    node->m_payload.emplace<static_cast<size_t>(JsonKind::Array)>(std::move(elements));
    return node;
}

JsonValue::Ptr JsonValue::MakeObject(Children members)
{
    Ptr node = MakeNull();
    node->m_payload.emplace<static_cast<size_t>(JsonKind::Object)>(std::move(members));
    return node;
}

JsonValue::Ptr JsonValue::MakeNumber(double value)
{
    double integral = 0.0;
    const double fraction = std::modf(value, &integral);
    if (fraction == 0.0 && std::fabs(integral) <= 2147483647.0)
        return MakeInt(static_cast<int32_t>(integral));
    // The range test comes first: narrowing a double beyond the float range is undefined.
    if (std::isinf(value) ||
        (std::fabs(value) <= FLT_MAX && static_cast<double>(static_cast<float>(value)) == value))
        return MakeFloat(static_cast<float>(value));
    return MakeDouble(value);
}

bool JsonValue::IsNumber() const
{
    return Is(JsonKind::Int) || Is(JsonKind::Float) || Is(JsonKind::Double);
}

bool JsonValue::AsBool() const
{
    const bool* value = std::get_if<static_cast<size_t>(JsonKind::Bool)>(&m_payload);
    return value != nullptr && *value;
}

int32_t JsonValue::AsInt() const
{
    const int32_t* value = std::get_if<static_cast<size_t>(JsonKind::Int)>(&m_payload);
    return value != nullptr ? *value : 0;
}

float JsonValue::AsFloat() const
{
    const float* value = std::get_if<static_cast<size_t>(JsonKind::Float)>(&m_payload);
    return value != nullptr ? *value : 0.0f;
}

double JsonValue::AsDouble() const
{
    const double* value = std::get_if<static_cast<size_t>(JsonKind::Double)>(&m_payload);
    return value != nullptr ? *value : 0.0;
}

const std::u16string& JsonValue::AsString() const
{
    static const std::u16string kEmpty;
    const std::u16string* value = std::get_if<static_cast<size_t>(JsonKind::String)>(&m_payload);
    return value != nullptr ? *value : kEmpty;
}

double JsonValue::NumberValue() const
{
    switch (Kind())
    {
    case JsonKind::Int:
        return AsInt();
    case JsonKind::Float:
        return AsFloat();
    case JsonKind::Double:
        return AsDouble();
    case JsonKind::Bool:
        return AsBool() ? 1.0 : 0.0;
    default:
        return 0.0;
    }
}

void JsonValue::SetNull()
{
    m_payload.emplace<static_cast<size_t>(JsonKind::Null)>();
}

void JsonValue::SetBool(bool value)
{
    m_payload.emplace<static_cast<size_t>(JsonKind::Bool)>(value);
}

void JsonValue::SetInt(int32_t value)
{
    m_payload.emplace<static_cast<size_t>(JsonKind::Int)>(value);
}

void JsonValue::SetFloat(float value)
{
    m_payload.emplace<static_cast<size_t>(JsonKind::Float)>(value);
}

void JsonValue::SetDouble(double value)
{
    m_payload.emplace<static_cast<size_t>(JsonKind::Double)>(value);
}

void JsonValue::SetString(std::u16string text)
{
    m_payload.emplace<static_cast<size_t>(JsonKind::String)>(std::move(text));
}

JsonValue::Children* JsonValue::MutableItems()
{
    if (Is(JsonKind::Array))
        return &std::get<static_cast<size_t>(JsonKind::Array)>(m_payload);
    if (Is(JsonKind::Object))
        return &std::get<static_cast<size_t>(JsonKind::Object)>(m_payload);
    return nullptr;
}

const JsonValue::Children& JsonValue::Items() const
{
    static const Children kNone;
    const Children* items = const_cast<JsonValue*>(this)->MutableItems();
    return items != nullptr ? *items : kNone;
}

const JsonValue* JsonValue::At(size_t index) const
{
    const Children& items = Items();
    return index < items.size() ? items[index].get() : nullptr;
}

JsonValue* JsonValue::At(size_t index)
{
    return const_cast<JsonValue*>(std::as_const(*this).At(index));
}

const JsonValue* JsonValue::Find(std::u16string_view name) const
{
    if (!Is(JsonKind::Object))
        return nullptr;
    for (const Ptr& member : Items())
    {
        if (member->Name() == name)
            return member.get();
    }
    return nullptr;
}

JsonValue* JsonValue::Find(std::u16string_view name)
{
    return const_cast<JsonValue*>(std::as_const(*this).Find(name));
}

const JsonValue* JsonValue::FindNoCase(std::u16string_view name) const
{
    if (!Is(JsonKind::Object))
        return nullptr;
    for (const Ptr& member : Items())
    {
        const std::u16string& candidate = member->Name();
        if (candidate.size() != name.size())
            continue;
        size_t i = 0;
        while (i < name.size() && FoldAscii(candidate[i]) == FoldAscii(name[i]))
            ++i;
        if (i == name.size())
            return member.get();
    }
    return nullptr;
}

JsonValue* JsonValue::Append(Ptr child)
{
    Children* items = MutableItems();
    if (items == nullptr || !child)
        return nullptr;
    items->push_back(std::move(child));
    return items->back().get();
}

JsonValue* JsonValue::AddMember(std::u16string name, Ptr value)
{
    if (!Is(JsonKind::Object) || !value)
        return nullptr;
    value->SetName(std::move(name));
    return Append(std::move(value));
}

std::u16string JsonValue::Stringify(unsigned depth) const
{
    std::u16string text;
    JsonWriter<std::u16string>(text).Write(*this, depth);
    return text;
}

std::string JsonValue::StringifyNarrow(unsigned depth) const
{
    std::string text;
    JsonWriter<std::string>(text).Write(*this, depth);
    return text;
}

JsonValue::Ptr JsonValue::Clone() const
{
    Ptr copy;
    switch (Kind())
    {
    case JsonKind::Null:
        copy = MakeNull();
        break;
    case JsonKind::String:
        copy = MakeString(AsString());
        break;
    case JsonKind::Bool:
        copy = MakeBool(AsBool());
        break;
    case JsonKind::Float:
        copy = MakeFloat(AsFloat());
        break;
    case JsonKind::Double:
        copy = MakeDouble(AsDouble());
        break;
    case JsonKind::Int:
        copy = MakeInt(AsInt());
        break;
    case JsonKind::Array:
    case JsonKind::Object:
    {
        Children children;
        children.reserve(Count());
        for (const Ptr& child : Items())
            children.push_back(child->Clone());
        copy = Is(JsonKind::Array) ? MakeArray(std::move(children)) : MakeObject(std::move(children));
        break;
    }
    }
    copy->m_name = m_name;
    return copy;
}
