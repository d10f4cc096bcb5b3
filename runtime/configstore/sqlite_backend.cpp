#include "runtime/configstore/sqlite_backend.h"

#include <map>

namespace BrimConfigStore {

namespace {

constexpr int64_t kApplicationId = 0x5a43530a; // "ZCS\n": marks our files
constexpr int64_t kSchemaVersion = 1;

constexpr const char *kSchema = R"sql(
CREATE TABLE IF NOT EXISTS objects(
   ns TEXT NOT NULL, obj_key TEXT NOT NULL, obj_group TEXT NOT NULL, component TEXT NOT NULL,
   boot_status INTEGER NOT NULL CHECK(boot_status IN (0, 1)),
   PRIMARY KEY(ns, obj_key, obj_group, component)) STRICT;
CREATE TABLE IF NOT EXISTS instances(
   seq INTEGER PRIMARY KEY AUTOINCREMENT,
   ns TEXT NOT NULL, obj_key TEXT NOT NULL, obj_group TEXT NOT NULL, component TEXT NOT NULL,
   instance_id TEXT NOT NULL,
   UNIQUE(ns, obj_key, obj_group, component, instance_id)) STRICT;
CREATE TABLE IF NOT EXISTS nodes(
   node INTEGER PRIMARY KEY,
   instance_seq INTEGER NOT NULL REFERENCES instances(seq) ON DELETE CASCADE,
   parent INTEGER REFERENCES nodes(node) ON DELETE CASCADE,
   name TEXT NOT NULL) STRICT;
CREATE INDEX IF NOT EXISTS nodes_by_instance ON nodes(instance_seq);
CREATE INDEX IF NOT EXISTS nodes_by_parent ON nodes(parent);
CREATE UNIQUE INDEX IF NOT EXISTS nodes_unique_name ON nodes(instance_seq, ifnull(parent, 0), name);
CREATE TABLE IF NOT EXISTS vals(
   value_id INTEGER PRIMARY KEY,
   node INTEGER NOT NULL REFERENCES nodes(node) ON DELETE CASCADE,
   name TEXT NOT NULL,
   kind TEXT NOT NULL CHECK(kind IN ('text', 'integer', 'list')),
   text_value TEXT CHECK((kind = 'text') = (text_value IS NOT NULL)),
   int_value INTEGER CHECK((kind = 'integer') = (int_value IS NOT NULL)),
   UNIQUE(node, name)) STRICT;
CREATE TABLE IF NOT EXISTS list_items(
   value_id INTEGER NOT NULL REFERENCES vals(value_id) ON DELETE CASCADE,
   pos INTEGER NOT NULL,
   item TEXT NOT NULL,
   PRIMARY KEY(value_id, pos)) STRICT;
)sql";

[[noreturn]] void Corrupt(const SqliteConnection &connection, const std::string &detail)
{
   throw ConfigStoreException(CS_ERR_DB_CORRUPT, connection.Path(), detail);
}

void CheckIntegrity(SqliteConnection &connection)
{
   SqliteStatement check(connection, "PRAGMA quick_check");
   std::string first;
   int rows = 0;
   while (check.Step()) {
      if (rows++ == 0) {
         first = check.ColumnText(0);
      }
   }
   if (rows != 1 || first != "ok") {
      Corrupt(connection, first.empty() ? "integrity check failed" : first);
   }
}

void PrepareSchema(SqliteConnection &connection)
{
   SqliteTransaction transaction(connection, true);
   int64_t applicationId = connection.QueryInt("PRAGMA application_id");
   int64_t version = connection.QueryInt("PRAGMA user_version");
   int64_t tables = connection.QueryInt("SELECT count(*) FROM sqlite_schema");
   if (applicationId == 0 && version == 0 && tables == 0) {
      connection.Exec(kSchema);
      connection.Exec("PRAGMA application_id = 1514361610; PRAGMA user_version = 1");
   } else if (applicationId != kApplicationId) {
      throw ConfigStoreException(CS_ERR_DB_SCHEMA, connection.Path(), "not a configuration store");
   } else if (version != kSchemaVersion) {
      throw ConfigStoreException(CS_ERR_DB_SCHEMA, connection.Path(),
                                 "version " + std::to_string(version));
   }
   transaction.Commit();
}

} // namespace

std::shared_ptr<SqliteBackend> SqliteBackend::Open(const std::string &path)
{
   SqliteConnection connection = SqliteConnection::Open(path);
   CheckIntegrity(connection);
   if (connection.QueryText("PRAGMA journal_mode=WAL") != "wal") {
      throw ConfigStoreException(CS_ERR_DB_OPEN, path, "cannot enable the WAL journal");
   }
   connection.Exec("PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON");
   if (connection.QueryInt("PRAGMA synchronous") != 2 || connection.QueryInt("PRAGMA foreign_keys") != 1) {
      throw ConfigStoreException(CS_ERR_DB_OPEN, path, "cannot set durability pragmas");
   }
   PrepareSchema(connection);
   return std::make_shared<SqliteBackend>(std::move(connection));
}

std::vector<std::shared_ptr<ConfigStoreObject>> SqliteBackend::Load(const std::string &ns,
                                                                    const ConfigStoreObjectId &id)
{
   Hostlib::MutexLock guard(mLock);
   // One read transaction, so all instances come from the same snapshot.
   SqliteTransaction transaction(mConnection, false);
   SqliteStatement select(mConnection,
                          "SELECT seq, instance_id FROM instances WHERE ns = ?1 AND obj_key = ?2 AND "
                          "obj_group = ?3 AND component = ?4 AND (?5 IS NULL OR instance_id = ?5) "
                          "ORDER BY seq");
   select.Bind(1, ns).Bind(2, id.GetKey()).Bind(3, id.GetGroup()).Bind(4, id.GetComponent());
   if (id.IsSingleton()) {
      select.BindNull(5);
   } else {
      select.Bind(5, id.instanceId);
   }
   std::vector<std::pair<int64_t, std::string>> found;
   while (select.Step()) {
      found.emplace_back(select.ColumnInt(0), select.ColumnText(1));
   }
   std::vector<std::shared_ptr<ConfigStoreObject>> instances;
   for (const auto &[seq, instanceId] : found) {
      ConfigStoreObjectId instanceObjectId(id.GetKey(), id.GetGroup(), id.GetComponent(), instanceId);
      instances.push_back(ReadInstance(seq, instanceObjectId));
   }
   transaction.Commit();
   return instances;
}

std::shared_ptr<ConfigStoreObject> SqliteBackend::ReadInstance(int64_t seq, const ConfigStoreObjectId &id)
{
   auto object = std::make_shared<ConfigStoreObject>(id);
   std::map<int64_t, WritableObject *> nodes;
   struct PendingNode {
      int64_t node;
      int64_t parent;
      std::string name;
   };
   std::vector<PendingNode> pending;
   SqliteStatement selectNodes(mConnection,
                               "SELECT node, parent, name FROM nodes WHERE instance_seq = ?1 ORDER BY node");
   selectNodes.Bind(1, seq);
   while (selectNodes.Step()) {
      if (selectNodes.ColumnIsNull(1)) {
         if (!nodes.empty()) {
            Corrupt(mConnection, "instance with two roots");
         }
         nodes[selectNodes.ColumnInt(0)] = object.get();
      } else {
         pending.push_back({selectNodes.ColumnInt(0), selectNodes.ColumnInt(1), selectNodes.ColumnText(2)});
      }
   }
   if (nodes.empty()) {
      Corrupt(mConnection, "instance without root");
   }
   try {
      // Parents normally precede children; loop anyway so row order never matters.
      for (bool progress = true; progress && !pending.empty();) {
         progress = false;
         for (auto it = pending.begin(); it != pending.end();) {
            auto parent = nodes.find(it->parent);
            if (parent == nodes.end()) {
               ++it;
               continue;
            }
            nodes[it->node] = parent->second->CreateSubObject(SubObjectId(it->name)).get();
            it = pending.erase(it);
            progress = true;
         }
      }
      if (!pending.empty()) {
         Corrupt(mConnection, "sub-object without parent");
      }

      std::map<int64_t, std::pair<WritableObject *, std::string>> lists;
      SqliteStatement selectValues(mConnection,
                                   "SELECT v.value_id, v.node, v.name, v.kind, v.text_value, v.int_value "
                                   "FROM vals v JOIN nodes n ON n.node = v.node "
                                   "WHERE n.instance_seq = ?1 ORDER BY v.value_id");
      selectValues.Bind(1, seq);
      while (selectValues.Step()) {
         auto node = nodes.find(selectValues.ColumnInt(1));
         if (node == nodes.end()) {
            Corrupt(mConnection, "value without node");
         }
         std::string name = selectValues.ColumnText(2);
         std::string kind = selectValues.ColumnText(3);
         if (kind == "text") {
            node->second->SetValue(name, selectValues.ColumnText(4));
         } else if (kind == "integer") {
            node->second->SetValue(name, selectValues.ColumnInt(5));
         } else if (kind == "list") {
            node->second->SetValue(name, TextList{});
            lists[selectValues.ColumnInt(0)] = {node->second, name};
         } else {
            Corrupt(mConnection, "unknown value kind");
         }
      }

      std::map<int64_t, TextList> items;
      SqliteStatement selectItems(mConnection,
                                  "SELECT i.value_id, i.item FROM list_items i "
                                  "JOIN vals v ON v.value_id = i.value_id JOIN nodes n ON n.node = v.node "
                                  "WHERE n.instance_seq = ?1 ORDER BY i.value_id, i.pos");
      selectItems.Bind(1, seq);
      while (selectItems.Step()) {
         items[selectItems.ColumnInt(0)].push_back(selectItems.ColumnText(1));
      }
      for (auto &[valueId, list] : items) {
         auto owner = lists.find(valueId);
         if (owner == lists.end()) {
            Corrupt(mConnection, "list items of a value that is not a list");
         }
         owner->second.first->SetValue(owner->second.second, list);
      }
   } catch (const ConfigStoreException &e) {
      if (e.GetCode() == CS_ERR_INVALID_KEY) {
         Corrupt(mConnection, e.what());
      }
      throw;
   }
   return object;
}

void SqliteBackend::InsertNode(int64_t instanceSeq, std::optional<int64_t> parent,
                               const std::string &name, const ReadOnlyObject &node)
{
   SqliteStatement insertNode(mConnection, "INSERT INTO nodes(instance_seq, parent, name) VALUES(?1, ?2, ?3)");
   insertNode.Bind(1, instanceSeq).Bind(3, name);
   if (parent) {
      insertNode.Bind(2, *parent);
   } else {
      insertNode.BindNull(2);
   }
   insertNode.Run();
   int64_t nodeId = sqlite3_last_insert_rowid(mConnection.Handle());

   SqliteStatement insertValue(mConnection,
                               "INSERT INTO vals(node, name, kind, text_value, int_value) "
                               "VALUES(?1, ?2, ?3, ?4, ?5)");
   SqliteStatement insertItem(mConnection, "INSERT INTO list_items(value_id, pos, item) VALUES(?1, ?2, ?3)");
   for (const auto &[key, value] : node.Values()) {
      insertValue.Reset();
      insertValue.Bind(1, nodeId).Bind(2, key).BindNull(4).BindNull(5);
      if (const auto *text = std::get_if<std::string>(&value)) {
         insertValue.Bind(3, std::string("text")).Bind(4, *text);
      } else if (const auto *number = std::get_if<int64_t>(&value)) {
         insertValue.Bind(3, std::string("integer")).Bind(5, *number);
      } else {
         insertValue.Bind(3, std::string("list"));
      }
      insertValue.Run();
      if (const auto *list = std::get_if<TextList>(&value)) {
         int64_t valueId = sqlite3_last_insert_rowid(mConnection.Handle());
         for (size_t i = 0; i < list->size(); i++) {
            insertItem.Reset();
            insertItem.Bind(1, valueId).Bind(2, static_cast<int64_t>(i)).Bind(3, (*list)[i]).Run();
         }
      }
   }
   for (const auto &[key, child] : node.SubObjects()) {
      InsertNode(instanceSeq, nodeId, key, *child);
   }
}

void SqliteBackend::Add(const std::string &ns, const ConfigStoreObject &object)
{
   Hostlib::MutexLock guard(mLock);
   const ConfigStoreObjectId &id = object.GetObjectId();
   SqliteTransaction transaction(mConnection, true);
   SqliteStatement exists(mConnection,
                          "SELECT 1 FROM instances WHERE ns = ?1 AND obj_key = ?2 AND obj_group = ?3 "
                          "AND component = ?4 AND instance_id = ?5");
   exists.Bind(1, ns).Bind(2, id.GetKey()).Bind(3, id.GetGroup()).Bind(4, id.GetComponent()).Bind(5, id.instanceId);
   if (exists.Step()) {
      throw ConfigStoreException(CS_ERR_OBJECT_EXISTS, id.ToString());
   }
   SqliteStatement insert(mConnection,
                          "INSERT INTO instances(ns, obj_key, obj_group, component, instance_id) "
                          "VALUES(?1, ?2, ?3, ?4, ?5)");
   insert.Bind(1, ns).Bind(2, id.GetKey()).Bind(3, id.GetGroup()).Bind(4, id.GetComponent()).Bind(5, id.instanceId);
   insert.Run();
   InsertNode(sqlite3_last_insert_rowid(mConnection.Handle()), std::nullopt, "", object);
   transaction.Commit();
}

void SqliteBackend::Delete(const std::string &ns, const ConfigStoreObjectId &id)
{
   Hostlib::MutexLock guard(mLock);
   SqliteTransaction transaction(mConnection, true);
   SqliteStatement remove(mConnection,
                          "DELETE FROM instances WHERE ns = ?1 AND obj_key = ?2 AND obj_group = ?3 "
                          "AND component = ?4 AND instance_id = ?5");
   remove.Bind(1, ns).Bind(2, id.GetKey()).Bind(3, id.GetGroup()).Bind(4, id.GetComponent()).Bind(5, id.instanceId);
   remove.Run();
   if (sqlite3_changes(mConnection.Handle()) == 0) {
      throw ConfigStoreException(CS_ERR_OBJECT_NOT_FOUND, id.ToString());
   }
   transaction.Commit();
}

void SqliteBackend::SetBootStatus(const std::string &ns, const ConfigStoreObjectId &id, bool status)
{
   Hostlib::MutexLock guard(mLock);
   SqliteTransaction transaction(mConnection, true);
   SqliteStatement upsert(mConnection,
                          "INSERT INTO objects(ns, obj_key, obj_group, component, boot_status) "
                          "VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(ns, obj_key, obj_group, component) "
                          "DO UPDATE SET boot_status = excluded.boot_status");
   upsert.Bind(1, ns).Bind(2, id.GetKey()).Bind(3, id.GetGroup()).Bind(4, id.GetComponent());
   upsert.Bind(5, static_cast<int64_t>(status ? 1 : 0)).Run();
   transaction.Commit();
}

bool SqliteBackend::GetBootStatus(const std::string &ns, const ConfigStoreObjectId &id)
{
   Hostlib::MutexLock guard(mLock);
   SqliteStatement select(mConnection,
                          "SELECT boot_status FROM objects WHERE ns = ?1 AND obj_key = ?2 AND "
                          "obj_group = ?3 AND component = ?4");
   select.Bind(1, ns).Bind(2, id.GetKey()).Bind(3, id.GetGroup()).Bind(4, id.GetComponent());
   return select.Step() && select.ColumnInt(0) == 1;
}

} // namespace BrimConfigStore
