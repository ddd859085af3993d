// The JSON document model every JSON text of the driver passes through: a tree of heap
// nodes over UTF-16 text, a parser and a writer. Object members keep their order and
// duplicate keys are kept; lookups search from the first member, so the first key wins.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// The order is fixed: templates compare and store by kind.
enum class JsonKind : uint8_t
{
    Null,
    String,
    Bool,
    Float,
    Double,
    Int,
    Array,
    Object,
};

class JsonValue
{
public:
    using Ptr = std::unique_ptr<JsonValue>;
    // Elements of an array, or members of an object (each member carries its key as its name).
    using Children = std::vector<Ptr>;

    // Deeper documents fail to parse, so a hostile payload cannot exhaust the stack.
    static constexpr unsigned kMaxDepth = 512;

    // Narrow text is UTF-8; ill-formed UTF-8 fails like a syntax error. Returns nullptr on
    // any error; nothing of a failed parse survives.
    static Ptr Parse(std::string_view narrow);
    static Ptr Parse(std::u16string_view wide);

    static Ptr MakeNull();
    static Ptr MakeBool(bool value);
    static Ptr MakeInt(int32_t value);
    static Ptr MakeFloat(float value);
    static Ptr MakeDouble(double value);
    static Ptr MakeString(std::u16string text);
    static Ptr MakeArray(Children elements = {});
    // The members' own names are their keys.
    static Ptr MakeObject(Children members = {});
    // A number in the narrowest kind holding it exactly: Int, else Float, else Double.
    static Ptr MakeNumber(double value);

    JsonValue();
    ~JsonValue();
    JsonValue(const JsonValue&) = delete;
    JsonValue& operator=(const JsonValue&) = delete;

    JsonKind Kind() const { return static_cast<JsonKind>(m_payload.index()); }
    bool Is(JsonKind kind) const { return Kind() == kind; }
    bool IsNumber() const;
    bool IsContainer() const { return Is(JsonKind::Array) || Is(JsonKind::Object); }

    const std::u16string& Name() const { return m_name; }
    void SetName(std::u16string name) { m_name = std::move(name); }

    // Typed reads; a read of another kind yields false, 0 or the empty text.
    bool AsBool() const;
    int32_t AsInt() const;
    float AsFloat() const;
    double AsDouble() const;
    const std::u16string& AsString() const;
    // Int, Float and Double as their value, Bool as 1 or 0, everything else 0.
    double NumberValue() const;

    // Setters replace the payload of any kind (dropping children); the name stays.
    void SetNull();
    void SetBool(bool value);
    void SetInt(int32_t value);
    void SetFloat(float value);
    void SetDouble(double value);
    void SetString(std::u16string text);

    // Elements or members in order; empty for the other kinds.
    const Children& Items() const;
    size_t Count() const { return Items().size(); }
    const JsonValue* At(size_t index) const;
    JsonValue* At(size_t index);
    // First member with exactly this name (code-unit comparison); nullptr when absent or
    // when this value is not an object.
    const JsonValue* Find(std::u16string_view name) const;
    JsonValue* Find(std::u16string_view name);
    // As Find, but ASCII letters compare without regard to case.
    const JsonValue* FindNoCase(std::u16string_view name) const;

    // Appends to an array or an object and returns the appended node; returns nullptr
    // (and destroys the node) when this value is not a container.
    JsonValue* Append(Ptr child);
    JsonValue* AddMember(std::u16string name, Ptr value);

    // Depth 0 writes compact text, the form the driver exchanges; depth >= 1 writes the
    // indented form. The text is pure ASCII: every other code unit is written as \uXXXX.
    std::u16string Stringify(unsigned depth = 0) const;
    // The same text as narrow characters (lossless, since the text is ASCII).
    std::string StringifyNarrow(unsigned depth = 0) const;

    // Deep copy keeping every kind (a write and re-parse would turn Float into Double).
    Ptr Clone() const;

private:
    // Alternative index == JsonKind, so the kind can never disagree with the payload.
    using Payload =
        std::variant<std::monostate, std::u16string, bool, float, double, int32_t, Children, Children>;

    Children* MutableItems();

    std::u16string m_name;
    Payload m_payload;
};
