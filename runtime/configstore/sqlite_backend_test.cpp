#include "runtime/configstore/sqlite_backend.h"

#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/hostctl/testing/private_namespace.h"

namespace BrimConfigStore {
namespace {

namespace fs = std::filesystem;

const ConfigStoreObjectId kServices("attestation_services", "trusted_infrastructure", "brim");

ConfigStoreObjectId InstanceId(const std::string &id)
{
   return ConfigStoreObjectId(kServices.GetKey(), kServices.GetGroup(), kServices.GetComponent(), id);
}

ConfigStoreObject Service(const std::string &id, const std::string &host, std::optional<int64_t> port,
                          const TextList &chain, const std::string &group)
{
   ConfigStoreObject object(InstanceId(id));
   auto address = object.CreateSubObject(SubObjectId("address"));
   address->SetValue("hostname", host);
   if (port) {
      address->SetValue("port", *port);
   }
   object.CreateSubObject(SubObjectId("trusted_CA"))->SetValue("cert_chain", chain);
   object.SetValue("group", group);
   return object;
}

std::vector<std::string> Ids(const std::vector<std::shared_ptr<ConfigStoreObject>> &instances)
{
   std::vector<std::string> ids;
   for (const auto &instance : instances) {
      ids.push_back(instance->GetObjectId().instanceId);
   }
   return ids;
}

// The code of the store error `call` raised, 0 for none; its text in `text`.
int32_t CodeOf(const std::function<void()> &call, std::string *text = nullptr)
{
   try {
      call();
   } catch (const ConfigStoreException &e) {
      if (text != nullptr) {
         *text = e.what();
      }
      return e.GetCode();
   }
   return 0;
}

int32_t OpenFailure(const std::string &path, std::string *text = nullptr)
{
   ConfigStore::SetDatabasePath(path);
   return CodeOf([] { ConfigStore::GetStore(); }, text);
}

class SqliteBackendTest : public ::testing::Test {
protected:
   void SetUp() override
   {
      char pattern[] = "/tmp/zarna-configstore-XXXXXX";
      ASSERT_NE(mkdtemp(pattern), nullptr);
      mDir = pattern;
      mPath = mDir + "/configstore.db";
      ConfigStore::SetBackend(nullptr);
      ConfigStore::SetDatabasePath(mPath);
   }
   void TearDown() override
   {
      // Drop the open database before its directory goes.
      ConfigStore::SetDatabasePath(kDefaultDatabasePath);
      for (const std::string &mountPoint : mMounts) {
         umount2(mountPoint.c_str(), MNT_DETACH);
      }
      std::error_code ignored;
      fs::remove_all(mDir, ignored);
   }
   // Closes the database so the next GetStore opens the file afresh.
   void Reopen() { ConfigStore::SetDatabasePath(mPath); }

   std::string mDir;
   std::string mPath;
   std::vector<std::string> mMounts;
   FilterSpecObject mAll{kServices};
};

TEST_F(SqliteBackendTest, PersistsAcrossReopenInInsertionOrder)
{
   const std::string pem = "-----BEGIN CERTIFICATE-----\r\nMIIB\nAAA=\n-----END CERTIFICATE-----\n";
   const std::string binaryText("nul\0inside", 10);
   {
      auto store = ConfigStore::GetStore();
      store->AddObject(Service("zz", "peer.example", std::nullopt, {pem, binaryText}, "g1"));
      store->AddObject(Service("aa", "10.0.0.1", 8443, {}, "g2"));
      store->AddObject(Service("mm", "::1", INT64_MIN, {"x"}, "g3"));
      store->DeleteObject(InstanceId("aa"));
      store->AddObject(Service("aa", "peer.example", INT64_MAX, {pem}, "g4"));
      // Another namespace and a singleton object do not mix with the instances.
      ConfigStoreObject single(ConfigStoreObjectId("settings", "trusted_infrastructure", "brim"));
      single.SetValue("n", int64_t{1});
      store->AddObject(single);
      ConfigStore::GetStore("other")->AddObject(Service("oo", "h", std::nullopt, {}, "g"));
   }
   Reopen();
   auto store = ConfigStore::GetStore();
   auto all = store->GetAllInstances(mAll);
   ASSERT_EQ(Ids(all), (std::vector<std::string>{"zz", "mm", "aa"}));

   std::string text;
   int64_t port = 0;
   TextList chain;
   auto address = all[0]->GetSubObject(SubObjectId("address"));
   address->GetValue("hostname", text);
   EXPECT_EQ(text, "peer.example");
   EXPECT_FALSE(address->GetValue("port", port)) << "an absent port stays absent";
   all[0]->GetSubObject(SubObjectId("trusted_CA"))->GetValue("cert_chain", chain);
   EXPECT_EQ(chain, (TextList{pem, binaryText})) << "texts come back byte for byte, in order";
   all[0]->GetValue("group", text);
   EXPECT_EQ(text, "g1");

   EXPECT_TRUE(all[1]->GetSubObject(SubObjectId("address"))->GetValue("port", port));
   EXPECT_EQ(port, INT64_MIN);
   EXPECT_TRUE(all[2]->GetSubObject(SubObjectId("address"))->GetValue("port", port));
   EXPECT_EQ(port, INT64_MAX);

   auto one = store->GetAllInstances(FilterSpecObject(InstanceId("mm")));
   ASSERT_EQ(Ids(one), std::vector<std::string>{"mm"});
   FilterSpecObject byHost(kServices);
   byHost.AddCriterion("address/hostname", std::string("peer.example"));
   EXPECT_EQ(Ids(store->GetAllInstances(byHost)), (std::vector<std::string>{"zz", "aa"}));

   auto empty = store->GetAllInstances(FilterSpecObject(ConfigStoreObjectId("kms_services", "trusted_infrastructure", "brim")));
   EXPECT_TRUE(empty.empty());
   EXPECT_EQ(Ids(ConfigStore::GetStore("other")->GetAllInstances(mAll)), std::vector<std::string>{"oo"});
   auto single = store->GetAllInstances(FilterSpecObject(ConfigStoreObjectId("settings", "trusted_infrastructure", "brim")));
   ASSERT_EQ(single.size(), 1u);
   EXPECT_TRUE(single[0]->GetObjectId().IsSingleton());
}

TEST_F(SqliteBackendTest, FailedChangesLeaveTheStoreAsItWas)
{
   auto store = ConfigStore::GetStore();
   store->AddObject(Service("a", "h1", 1, {"c"}, "g1"));
   EXPECT_EQ(CodeOf([&] { store->AddObject(Service("a", "h2", 2, {"d"}, "g2")); }), CS_ERR_OBJECT_EXISTS);
   EXPECT_EQ(CodeOf([&] { store->DeleteObject(InstanceId("missing")); }), CS_ERR_OBJECT_NOT_FOUND);
   Reopen();
   auto all = ConfigStore::GetStore()->GetAllInstances(mAll);
   ASSERT_EQ(Ids(all), std::vector<std::string>{"a"});
   std::string group;
   all[0]->GetValue("group", group);
   EXPECT_EQ(group, "g1");

   SetBootStatus(kServices, true);
   Reopen();
   EXPECT_TRUE(ConfigStore::GetStore()->GetBootStatus(kServices));
}

TEST_F(SqliteBackendTest, DatabaseIsPrivateWalAndDurable)
{
   auto store = ConfigStore::GetStore();
   struct stat st {};
   ASSERT_EQ(stat(mPath.c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 0777, 0600u);
   Reopen();
   store.reset();
   // Bytes 18 and 19 of the header are 2 once the file is in WAL mode.
   std::ifstream file(mPath, std::ios::binary);
   char header[20] = {};
   file.read(header, sizeof header);
   EXPECT_EQ(header[18], 2);
   EXPECT_EQ(header[19], 2);
}

TEST_F(SqliteBackendTest, CorruptFilesAreRefusedAndOpenIsRetried)
{
   {
      std::ofstream garbage(mPath, std::ios::binary);
      garbage << std::string(8192, 'G');
   }
   std::string text;
   EXPECT_EQ(OpenFailure(mPath, &text), CS_ERR_DB_CORRUPT);
   EXPECT_NE(text.find(mPath), std::string::npos) << text;

   // A store whose pages (not its header) were damaged: the integrity check finds it.
   fs::remove(mPath);
   {
      auto store = ConfigStore::GetStore();
      for (int i = 0; i < 50; i++) {
         store->AddObject(Service("id" + std::to_string(i), std::string(500, 'h'), i, {std::string(300, 'c')}, "g"));
      }
   }
   ConfigStore::SetDatabasePath(mDir + "/other.db"); // closes and checkpoints
   ASSERT_FALSE(fs::exists(mPath + "-wal"));
   {
      std::fstream file(mPath, std::ios::binary | std::ios::in | std::ios::out);
      file.seekp(4096 + 100);
      std::string junk(4096 * 4, '\x5a');
      file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
   }
   EXPECT_EQ(OpenFailure(mPath), CS_ERR_DB_CORRUPT);

   // The next call tries again and succeeds once the file is usable.
   fs::remove(mPath);
   EXPECT_EQ(OpenFailure(mPath), 0);
}

TEST_F(SqliteBackendTest, RefusesSymlinksAndOddPaths)
{
   std::string target = mDir + "/target.db";
   ASSERT_EQ(OpenFailure(target), 0);
   ConfigStore::GetStore()->AddObject(Service("t", "h", 1, {}, "g"));
   ConfigStore::SetDatabasePath(mPath);

   std::string link = mDir + "/link.db";
   fs::create_symlink(target, link);
   std::string text;
   EXPECT_EQ(OpenFailure(link, &text), CS_ERR_DB_OPEN);
   EXPECT_NE(text.find("symbolic"), std::string::npos) << text;

   std::string dangling = mDir + "/dangling.db";
   fs::create_symlink(mDir + "/nowhere.db", dangling);
   EXPECT_EQ(OpenFailure(dangling), CS_ERR_DB_OPEN);
   EXPECT_FALSE(fs::exists(mDir + "/nowhere.db")) << "a dangling link must not create its target";

   fs::create_directory(mDir + "/dir.db");
   EXPECT_EQ(OpenFailure(mDir + "/dir.db"), CS_ERR_DB_NOT_REGULAR);
   EXPECT_EQ(OpenFailure(mDir + "/missing/dir/x.db"), CS_ERR_DB_OPEN);
   EXPECT_EQ(OpenFailure(""), CS_ERR_DB_OPEN);

   // Some other program's SQLite database is not taken over.
   std::string foreign = mDir + "/foreign.db";
   sqlite3 *db = nullptr;
   ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
   ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x)", nullptr, nullptr, nullptr), SQLITE_OK);
   sqlite3_close(db);
   EXPECT_EQ(OpenFailure(foreign), CS_ERR_DB_SCHEMA);

   ConfigStore::SetDatabasePath(target);
   EXPECT_EQ(ConfigStore::GetStore()->GetAllInstances(mAll).size(), 1u) << "target untouched";
}

TEST_F(SqliteBackendTest, ConcurrentWritersAndReadersSeeWholeInstances)
{
   auto store = ConfigStore::GetStore();
   std::vector<std::thread> threads;
   for (int t = 0; t < 4; t++) {
      threads.emplace_back([store, t] {
         for (int i = 0; i < 20; i++) {
            store->AddObject(Service("t" + std::to_string(t) + "-" + std::to_string(i), "h", i, {"a", "b"}, "g"));
            for (const auto &instance : store->GetAllInstances(FilterSpecObject(kServices))) {
               TextList chain;
               instance->GetSubObject(SubObjectId("trusted_CA"))->GetValue("cert_chain", chain);
               ASSERT_EQ(chain.size(), 2u);
            }
         }
      });
   }
   for (auto &thread : threads) {
      thread.join();
   }
   auto all = store->GetAllInstances(mAll);
   ASSERT_EQ(all.size(), 80u);
   // Each writer's instances keep that writer's order.
   std::map<char, int> last;
   for (const auto &id : Ids(all)) {
      int n = std::stoi(id.substr(3));
      EXPECT_GT(n, last.count(id[1]) ? last[id[1]] : -1) << id;
      last[id[1]] = n;
   }
}

// A read-only file system and a full one, on small private tmpfs mounts.
TEST_F(SqliteBackendTest, ReadOnlyAndFullFileSystemsAreExceptions)
{
   ZARNA_RUN_IN_PRIVATE_NAMESPACES(CLONE_NEWNS);

   std::string full = mDir + "/full";
   std::string readOnly = mDir + "/ro";
   fs::create_directory(full);
   fs::create_directory(readOnly);
   ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, "size=256k"), 0) << std::strerror(errno);
   mMounts.push_back(full);
   ASSERT_EQ(mount("tmpfs", readOnly.c_str(), "tmpfs", 0, "size=1m"), 0) << std::strerror(errno);
   mMounts.push_back(readOnly);

   ASSERT_EQ(OpenFailure(readOnly + "/db"), 0);
   ConfigStore::GetStore()->AddObject(Service("kept", "h", 1, {}, "g"));
   ConfigStore::SetDatabasePath(mPath);
   ASSERT_EQ(mount(nullptr, readOnly.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << std::strerror(errno);
   std::string text;
   EXPECT_EQ(OpenFailure(readOnly + "/db", &text), CS_ERR_DB_READONLY);
   EXPECT_EQ(text.rfind("Database " + readOnly + "/db is read-only", 0), 0u) << text;

   ASSERT_EQ(OpenFailure(full + "/db"), 0);
   auto store = ConfigStore::GetStore();
   int added = 0;
   int32_t code = 0;
   for (int i = 0; i < 1000 && code == 0; i++) {
      code = CodeOf([&] { store->AddObject(Service("big" + std::to_string(i), "h", i, {std::string(16384, 'x')}, "g")); });
      added += code == 0 ? 1 : 0;
   }
   EXPECT_EQ(code, CS_ERR_DB_FULL);
   EXPECT_GT(added, 0);
   auto all = store->GetAllInstances(mAll);
   EXPECT_EQ(all.size(), static_cast<size_t>(added)) << "the failed add left nothing behind";
}

} // namespace
} // namespace BrimConfigStore
