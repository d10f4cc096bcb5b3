// What every interface header needs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "runtime/ruvo/binding/binder.h"
#include "runtime/ruvo/binding/stub.h"
#include "runtime/ruvo/core/async_result.h"
#include "runtime/ruvo/data/secret_string.h"
#include "runtime/ruvo/std/std_errors.h"

namespace Com::Talvor::Brim::Api {

using ::Ruvo::AsyncResult;
using ::Ruvo::Binding::Field;
using ::Ruvo::Binding::InterfaceDecl;
using ::Ruvo::Binding::Operation;
using ::Ruvo::Binding::Param;
using ActivationPtr = ::Ruvo::Core::AsyncActivationPtr;
using LocalizerPtr = ::Ruvo::L10n::LocalizerPtr;
using LocalizableMessage = Com::Talvor::Ruvo::Std::LocalizableMessage;

} // namespace Com::Talvor::Brim::Api
