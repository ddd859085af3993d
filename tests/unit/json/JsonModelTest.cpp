#include <gtest/gtest.h>

#include <string>

#include "json/JsonValue.h"

namespace
{

TEST(JsonModel, BuiltTreeWritesMembersInInsertionOrder)
{
    JsonValue::Ptr root = JsonValue::MakeObject();
    root->AddMember(u"Seq", JsonValue::MakeInt(7));
    root->AddMember(u"Order", JsonValue::MakeString(u"restart"));
    JsonValue* list = root->AddMember(u"List", JsonValue::MakeArray());
    ASSERT_NE(list, nullptr);
    list->Append(JsonValue::MakeBool(false));
    list->Append(JsonValue::MakeDouble(0.5));
    list->Append(JsonValue::MakeNull());
    root->AddMember(u"Seq", JsonValue::MakeFloat(1.5f));

    EXPECT_EQ(root->StringifyNarrow(),
              "{\"Seq\":7,\"Order\":\"restart\",\"List\":[false,0.5,null],\"Seq\":1.5}");
    EXPECT_EQ(root->Find(u"Seq")->AsInt(), 7);
    EXPECT_EQ(root->Find(u"seq"), nullptr);
    EXPECT_EQ(root->FindNoCase(u"seq")->AsInt(), 7);
    EXPECT_EQ(root->FindNoCase(u"ORDER")->AsString(), u"restart");
    EXPECT_EQ(root->FindNoCase(u"Orde"), nullptr);
}

TEST(JsonModel, ContainersFromSequences)
{
    JsonValue::Children elements;
    elements.push_back(JsonValue::MakeInt(1));
    elements.push_back(JsonValue::MakeString(u"two"));
    JsonValue::Ptr array = JsonValue::MakeArray(std::move(elements));

    JsonValue::Children members;
    members.push_back(JsonValue::MakeBool(true));
    members.back()->SetName(u"ok");
    members.push_back(std::move(array));
    members.back()->SetName(u"items");
    const JsonValue::Ptr object = JsonValue::MakeObject(std::move(members));

    EXPECT_EQ(object->StringifyNarrow(), "{\"ok\":true,\"items\":[1,\"two\"]}");
    EXPECT_EQ(object->At(1)->Count(), 2u);
    EXPECT_EQ(object->At(2), nullptr);
}

TEST(JsonModel, MakeNumberPicksTheNarrowestExactKind)
{
    struct Case
    {
        double value;
        JsonKind kind;
    };
    for (const Case c :
         {Case{3.0, JsonKind::Int}, Case{-0.0, JsonKind::Int}, Case{2147483648.0, JsonKind::Float},
          Case{0.75, JsonKind::Float}, Case{0.1, JsonKind::Double}, Case{1e300, JsonKind::Double}})
    {
        const JsonValue::Ptr number = JsonValue::MakeNumber(c.value);
        EXPECT_EQ(number->Kind(), c.kind) << c.value;
        EXPECT_EQ(number->NumberValue(), c.value);
    }
}

TEST(JsonModel, ReadsOfAnotherKindYieldEmptyValues)
{
    const JsonValue::Ptr text = JsonValue::MakeString(u"12");
    EXPECT_FALSE(text->AsBool());
    EXPECT_EQ(text->AsInt(), 0);
    EXPECT_EQ(text->AsFloat(), 0.0f);
    EXPECT_EQ(text->AsDouble(), 0.0);
    EXPECT_EQ(text->NumberValue(), 0.0);
    EXPECT_FALSE(text->IsNumber());
    EXPECT_EQ(text->Count(), 0u);
    EXPECT_EQ(text->At(0), nullptr);
    EXPECT_EQ(text->Find(u"x"), nullptr);
    EXPECT_TRUE(JsonValue::MakeInt(5)->AsString().empty());
    EXPECT_EQ(JsonValue::MakeBool(true)->NumberValue(), 1.0);
    EXPECT_EQ(JsonValue::MakeInt(5)->AsDouble(), 0.0);
    // Only objects have members to find, even when array elements carry names.
    JsonValue::Ptr array = JsonValue::MakeArray();
    JsonValue::Ptr named = JsonValue::MakeInt(1);
    named->SetName(u"x");
    array->Append(std::move(named));
    EXPECT_EQ(array->Find(u"x"), nullptr);
}

TEST(JsonModel, SettersReplaceThePayloadAndKeepTheName)
{
    JsonValue::Ptr root = JsonValue::Parse("{\"v\":{\"deep\":[1,2,3]},\"q\":\"QL_OPC\"}");
    ASSERT_NE(root, nullptr);
    JsonValue* v = root->Find(u"v");
    v->SetString(u"K7VAL");
    EXPECT_EQ(v->Kind(), JsonKind::String);
    EXPECT_EQ(v->Count(), 0u);
    root->Find(u"q")->SetInt(192);
    EXPECT_EQ(root->StringifyNarrow(), "{\"v\":\"K7VAL\",\"q\":192}");

    v->SetDouble(12.5);
    EXPECT_EQ(v->Kind(), JsonKind::Double);
    v->SetFloat(1.5f);
    EXPECT_EQ(v->Kind(), JsonKind::Float);
    v->SetBool(true);
    EXPECT_EQ(v->Kind(), JsonKind::Bool);
    v->SetNull();
    EXPECT_EQ(v->Kind(), JsonKind::Null);
    EXPECT_EQ(v->Name(), u"v");
    EXPECT_EQ(root->StringifyNarrow(), "{\"v\":null,\"q\":192}");
}

TEST(JsonModel, AppendNeedsAContainer)
{
    JsonValue::Ptr scalar = JsonValue::MakeInt(1);
    EXPECT_EQ(scalar->Append(JsonValue::MakeInt(2)), nullptr);
    EXPECT_EQ(scalar->AddMember(u"k", JsonValue::MakeInt(2)), nullptr);
    JsonValue::Ptr array = JsonValue::MakeArray();
    EXPECT_EQ(array->AddMember(u"k", JsonValue::MakeInt(2)), nullptr);
    EXPECT_EQ(array->Append(nullptr), nullptr);
    EXPECT_EQ(array->Count(), 0u);
    EXPECT_EQ(scalar->StringifyNarrow(), "1");
}

TEST(JsonModel, CloneIsDeepAndKeepsKinds)
{
    const JsonValue::Ptr original = JsonValue::Parse("{\"a\":[0.5,{\"b\":\"t\"}],\"c\":null}");
    ASSERT_NE(original, nullptr);
    original->Find(u"a")->At(0)->SetFloat(0.1f);
    original->SetName(u"root");

    const JsonValue::Ptr copy = original->Clone();
    EXPECT_EQ(copy->Name(), u"root");
    EXPECT_EQ(copy->StringifyNarrow(), original->StringifyNarrow());
    EXPECT_EQ(copy->Find(u"a")->At(0)->Kind(), JsonKind::Float);
    EXPECT_EQ(copy->Find(u"a")->At(0)->AsFloat(), 0.1f);

    copy->Find(u"a")->At(1)->Find(u"b")->SetString(u"changed");
    EXPECT_EQ(original->Find(u"a")->At(1)->Find(u"b")->AsString(), u"t");
}

} // namespace
