// The runtime's metadata services over the three containers, ready to be added
// to a local provider.
#pragma once

#include <memory>
#include <vector>

#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/metadata/metadata_container.h"

namespace Ruvo::Provider::Metadata {

std::vector<Core::ApiInterfacePtr>
BindCliMetadataServices(std::shared_ptr<const Cli::MetadataContainer> container);
std::vector<Core::ApiInterfacePtr>
BindMetamodelMetadataServices(std::shared_ptr<const Metamodel::MetadataContainer> container);
std::vector<Core::ApiInterfacePtr> BindAuthenticationMetadataServices(
    std::shared_ptr<const Authentication::MetadataContainer> container);

} // namespace Ruvo::Provider::Metadata
