#include "runtime/configstore/config_store_object.h"

#include <gtest/gtest.h>

#include "runtime/configstore/config_store.h"
#include "runtime/configstore/config_store_exception.h"

namespace BrimConfigStore {
namespace {

int32_t CodeOf(const std::function<void()> &call)
{
   try {
      call();
   } catch (const ConfigStoreException &e) {
      return e.GetCode();
   }
   return 0;
}

// Values going in and out of the store are the backend tests' part; here what an
// object does with a name it does not have or a value of another type.
TEST(ConfigStoreObjectTest, TypedValuesAndSubObjects)
{
   ConfigStoreObject object(ConfigStoreObjectId("k", "g", "c", "id1"));
   auto address = object.CreateSubObject(SubObjectId("address"));
   object.SetValue("group", std::string("g1"));
   // Creating an existing sub-object returns it rather than replacing it.
   EXPECT_EQ(object.CreateSubObject(SubObjectId("address")), address);

   std::string text;
   TextList list;
   int64_t number = 7;
   EXPECT_FALSE(object.GetValue("port", number));
   EXPECT_EQ(number, 7) << "an absent integer leaves the output alone";
   EXPECT_EQ(CodeOf([&] { object.GetValue("missing", text); }), CS_ERR_VALUE_NOT_FOUND);
   EXPECT_EQ(CodeOf([&] { object.GetValue("missing", list); }), CS_ERR_VALUE_NOT_FOUND);
   EXPECT_EQ(CodeOf([&] { object.GetValue("group", number); }), CS_ERR_VALUE_TYPE);
   EXPECT_EQ(CodeOf([&] { object.GetSubObject(SubObjectId("nope")); }), CS_ERR_SUBOBJECT_NOT_FOUND);
}

TEST(ConfigStoreObjectTest, RejectsKeysThatCannotBeStoredOrAddressed)
{
   WritableObject object;
   for (const std::string &bad : {std::string(), std::string("a/b"), std::string("a\0b", 3)}) {
      EXPECT_EQ(CodeOf([&] { object.SetValue(bad, std::string("v")); }), CS_ERR_INVALID_KEY);
      EXPECT_EQ(CodeOf([&] { object.CreateSubObject(SubObjectId(bad)); }), CS_ERR_INVALID_KEY);
   }
   EXPECT_EQ(CodeOf([] { CheckObjectId(ConfigStoreObjectId("", "g", "c")); }), CS_ERR_INVALID_OBJECT_ID);
   EXPECT_EQ(CodeOf([] { CheckObjectId(ConfigStoreObjectId("k", "g/x", "c")); }), CS_ERR_INVALID_OBJECT_ID);
   EXPECT_EQ(CodeOf([] { CheckObjectId(ConfigStoreObjectId("k", "g", "c", std::string("i\0", 2))); }),
             CS_ERR_INVALID_OBJECT_ID);
   EXPECT_EQ(CodeOf([] { CheckObjectId(ConfigStoreObjectId("k", "g", "c", "any text/with slash")); }), 0);
}

TEST(ConfigStoreObjectTest, CloneSharesNothing)
{
   ConfigStoreObject object(ConfigStoreObjectId("k", "g", "c", "i"));
   object.CreateSubObject(SubObjectId("s"))->SetValue("v", std::string("before"));
   auto copy = object.Clone();
   object.CreateSubObject(SubObjectId("s"))->SetValue("v", std::string("after"));
   std::string text;
   copy->GetSubObject(SubObjectId("s"))->GetValue("v", text);
   EXPECT_EQ(text, "before");
   EXPECT_EQ(copy->GetObjectId().instanceId, "i");
}

TEST(ConfigStoreObjectTest, FilterCriteriaFollowPaths)
{
   ConfigStoreObject object(ConfigStoreObjectId("k", "g", "c", "i"));
   object.CreateSubObject(SubObjectId("address"))->SetValue("hostname", std::string("h1"));
   object.SetValue("port", int64_t{443});

   FilterSpecObject none(ConfigStoreObjectId("k", "g", "c"));
   EXPECT_TRUE(none.Matches(object));

   FilterSpecObject byHost(ConfigStoreObjectId("k", "g", "c"));
   byHost.AddCriterion("address/hostname", std::string("h1"));
   byHost.AddCriterion("port", int64_t{443});
   EXPECT_TRUE(byHost.Matches(object));

   FilterSpecObject wrongType(ConfigStoreObjectId("k", "g", "c"));
   wrongType.AddCriterion("port", std::string("443"));
   EXPECT_FALSE(wrongType.Matches(object));

   FilterSpecObject missing(ConfigStoreObjectId("k", "g", "c"));
   missing.AddCriterion("address/nope/hostname", std::string("h1"));
   EXPECT_FALSE(missing.Matches(object));
}

TEST(ConfigStoreExceptionTest, TextTreatsArgumentsAsData)
{
   ConfigStoreException open(CS_ERR_DB_OPEN, "/x/%s%n.db", "unable to open");
   EXPECT_STREQ(open.what(), "Failed to open database /x/%s%n.db: unable to open");
   EXPECT_EQ(open.GetCode(), 1001);
   EXPECT_STREQ(ConfigStoreException(CS_ERR_INTERNAL, "ignored").what(), "ConfigStore internal error");
   EXPECT_STREQ(ConfigStoreException(4242, "x").what(), "ConfigStore internal error");
}

TEST(ConfigStoreTest, GeneratedInstanceIdsAreDistinctUuids)
{
   std::string a = GenerateInstanceId();
   std::string b = GenerateInstanceId();
   EXPECT_NE(a, b);
   ASSERT_EQ(a.size(), 36u);
   EXPECT_EQ(a[14], '4');
   EXPECT_EQ(a.find_first_not_of("0123456789abcdef-"), std::string::npos);
}

} // namespace
} // namespace BrimConfigStore
