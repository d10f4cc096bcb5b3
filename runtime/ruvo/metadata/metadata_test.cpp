// Metadata containers filled from files, and the services that publish them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "runtime/ruvo/metadata/metadata_bindings.h"
#include "runtime/ruvo/metadata/metadata_services.h"
#include "runtime/ruvo/provider/local_provider.h"

namespace {

using namespace Ruvo::Provider::Metadata;

class MetadataFiles : public ::testing::Test {
protected:
   std::filesystem::path dir = std::filesystem::temp_directory_path() /
                               ("metadata-" + std::to_string(getpid()) + "-" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
   void SetUp() override { std::filesystem::create_directories(dir); }
   void TearDown() override { std::filesystem::remove_all(dir); }
   SourceInfo Write(const std::string &name, const std::string &text)
   {
      std::ofstream((dir / name).string()) << text;
      return {name, SourceType::File, (dir / name).string()};
   }
};

const char *kGood = R"({"metamodel":{
   "packages":[{"id":"com.x","services":["com.x.svc"]}],
   "services":[{"id":"com.x.svc","operations":[{"name":"list"},{"name":"get","params":[{"name":"id"}]}]},
               {"id":"com.x.other"}]}})";

TEST_F(MetadataFiles, SourcesFillCollectionsInFileOrderWithNestedIds)
{
   Metamodel::MetadataContainer container;
   ASSERT_EQ(container.AddSource(Write("a.json", kGood)), nullptr);
   EXPECT_EQ(container.List("service"), (std::vector<std::string>{"com.x.svc", "com.x.other"}));
   EXPECT_EQ(container.List("operation"),
             (std::vector<std::string>{"com.x.svc.list", "com.x.svc.get"}));
   EXPECT_TRUE(container.List("structure").empty());
   auto get = container.Get("operation", "com.x.svc.get");
   ASSERT_TRUE(get);
   EXPECT_NE(get->ToString().find("params"), std::string::npos) << get->ToString();
   EXPECT_EQ(container.Get("operation", "com.x.svc.delete"), nullptr);

   // A second source adds; one that redefines an id, or reuses a name, changes nothing.
   ASSERT_EQ(
       container.AddSource(Write("b.json", R"({"metamodel":{"services":[{"id":"com.y.svc"}]}})")),
       nullptr);
   auto clash = container.AddSource(
       Write("c.json", R"({"metamodel":{"services":[{"id":"com.z.svc"},{"id":"com.x.svc"}]}})"));
   ASSERT_TRUE(clash);
   EXPECT_NE(clash->ToString().find("already defined"), std::string::npos) << clash->ToString();
   EXPECT_TRUE(container.AddSource(Write("a.json", kGood))) << "same source name twice";
   EXPECT_EQ(container.List("service"),
             (std::vector<std::string>{"com.x.svc", "com.x.other", "com.y.svc"}));
   EXPECT_EQ(container.Sources().size(), 2u);
}

TEST_F(MetadataFiles, BrokenFilesAreRefusedWithTheirReason)
{
   Cli::MetadataContainer container;
   SourceInfo absent{"absent", SourceType::File, (dir / "absent.json").string()};
   std::vector<std::pair<SourceInfo, std::string>> cases = {
       {absent, "cannot open"},
       {Write("empty", ""), ""},
       {Write("text", "not json"), ""},
       {Write("nosection", R"({"metamodel":{}})"), "object"},
       {Write("notarray", R"({"cli":{"commands":{}}})"), "not an array"},
       {Write("noid", R"({"cli":{"commands":[{"name":"x"}]}})"), "has no text"},
       {Write("dup", R"({"cli":{"commands":[{"id":"a"},{"id":"a"}]}})"), "appears twice"},
       {Write("deep", R"({"cli":{"commands":[{"id":"a","x":)" + std::string(100, '[') +
                          std::string(100, ']') + "}]}}"),
        ""},
   };
   for (const auto &[source, reason] : cases) {
      auto error = container.AddSource(source);
      ASSERT_TRUE(error) << source.name;
      EXPECT_EQ(error->GetName(), Ruvo::Data::StdErrors::kInvalidArgument);
      EXPECT_NE(error->ToString().find(reason), std::string::npos) << error->ToString();
      EXPECT_NE(error->ToString().find(source.name), std::string::npos) << error->ToString();
   }
   EXPECT_TRUE(container.Sources().empty());
   EXPECT_TRUE(container.List("command").empty());
}

TEST_F(MetadataFiles, ServicesListAndGetWhatTheContainerHolds)
{
   auto container = std::make_shared<Metamodel::MetadataContainer>();
   ASSERT_EQ(container->AddSource(Write("a.json", kGood)), nullptr);
   auto provider =
       Ruvo::Provider::AsyncLocalProvider::Create(BindMetamodelMetadataServices(container));

   Metamodel::ServiceOperationSvc::AsyncServiceStub stub(provider);
   std::optional<Ruvo::Outcome<std::vector<std::string>>> listed;
   stub.List(nullptr,
             Ruvo::AsyncResult<std::vector<std::string>>([&](auto &&o) { listed = std::move(o); }));
   ASSERT_TRUE(listed && !listed->IsError());
   EXPECT_EQ(*listed->value, (std::vector<std::string>{"com.x.svc.list", "com.x.svc.get"}));

   std::optional<Ruvo::Outcome<Ruvo::Data::DataValuePtr>> got;
   stub.Get("com.x.svc.nope", nullptr,
            Ruvo::AsyncResult<Ruvo::Data::DataValuePtr>([&](auto &&o) { got = std::move(o); }));
   ASSERT_TRUE(got && got->IsError());
   EXPECT_EQ(got->error->GetName(), Ruvo::Data::StdErrors::kNotFound);
}

} // namespace
