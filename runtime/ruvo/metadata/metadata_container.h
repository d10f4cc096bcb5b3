// Process-wide stores of API metadata (CLI, metamodel, authentication), filled
// from metadata files registered as named sources, read by the metadata services.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/hostlib/mutex.h"
#include "runtime/ruvo/data/data_value.h"
#include "runtime/ruvo/data/error_value.h"

namespace Ruvo::Provider::Metadata {

enum class SourceType { File };

struct SourceInfo {
   std::string name;
   SourceType type = SourceType::File;
   std::string filePath;
};

// Where the entries of one collection are in a metadata section: the objects of
// the array `array` keyed by their "id", or, with `parentArray`, the objects of
// `array` inside each parent keyed "<parent id>.<name>".
struct CollectionSpec {
   std::string collection;
   std::string array;
   std::string parentArray; // empty: top level of the section
};

inline constexpr const char *kSourceMessageId = "ruvo.metadata.source.invalid";

class MetadataContainerBase {
public:
   // Reads the container's section of the source; a null result on success. A
   // source name already registered, an unreadable file, or a section that is not
   // as described refuses the whole source and changes nothing.
   Data::ErrorValuePtr AddSource(const SourceInfo &source);

   std::vector<SourceInfo> Sources() const;
   // Ids in file order; empty for an unknown collection.
   std::vector<std::string> List(const std::string &collection) const;
   // nullptr when there is no such entry.
   Data::DataValuePtr Get(const std::string &collection, const std::string &id) const;

   const std::string &Section() const { return mSection; }

protected:
   MetadataContainerBase(std::string section, std::vector<CollectionSpec> specs)
       : mSection(std::move(section)), mSpecs(std::move(specs))
   {
   }
   ~MetadataContainerBase() = default;

private:
   struct Collection {
      std::vector<std::string> order;
      std::map<std::string, Data::DataValuePtr> entries;
   };

   std::string mSection;
   std::vector<CollectionSpec> mSpecs;
   mutable Hostlib::Mutex mLock;
   std::vector<SourceInfo> mSources ZARNA_GUARDED_BY(mLock);
   std::map<std::string, Collection> mCollections ZARNA_GUARDED_BY(mLock);
};

namespace Cli {
class MetadataContainer : public MetadataContainerBase {
public:
   static std::shared_ptr<MetadataContainer> GetInstance();
   MetadataContainer();
};
} // namespace Cli

namespace Metamodel {
class MetadataContainer : public MetadataContainerBase {
public:
   static std::shared_ptr<MetadataContainer> GetInstance();
   MetadataContainer();
};
} // namespace Metamodel

namespace Authentication {
class MetadataContainer : public MetadataContainerBase {
public:
   static std::shared_ptr<MetadataContainer> GetInstance();
   MetadataContainer();
};
} // namespace Authentication

} // namespace Ruvo::Provider::Metadata
