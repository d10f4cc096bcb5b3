// Bookkeeping while native values are turned into data values and back: the path
// of the field at hand, and the first problem found.
#pragma once

#include <string>
#include <vector>

#include "runtime/ruvo/data/data_value.h"
#include "runtime/ruvo/data/message.h"

namespace Ruvo::Binding {

class CodecContext {
public:
   bool Ok() const { return mMessages.empty(); }
   const std::vector<BaseMessage> &Messages() const { return mMessages; }

   void Push(std::string segment) { mPath.push_back(std::move(segment)); }
   void Pop() { mPath.pop_back(); }
   std::string Path() const;

   // Each returns false so that readers can `return ctx.InvalidType(...)`.
   bool InvalidType(const char *expected, const Data::DataValuePtr &found);
   // For readers of text forms: `found` names what arrived ("integer", "array").
   bool InvalidType(const char *expected, const std::string &found);
   bool MissingField(const std::string &name);
   bool InvalidValue(const std::string &reason);

private:
   void Add(BaseMessage message);

   std::vector<std::string> mPath;
   std::vector<BaseMessage> mMessages;
};

// Keeps a path segment for the duration of a scope.
class PathScope {
public:
   PathScope(CodecContext &ctx, std::string segment) : mCtx(ctx) { mCtx.Push(std::move(segment)); }
   ~PathScope() { mCtx.Pop(); }
   PathScope(const PathScope &) = delete;
   PathScope &operator=(const PathScope &) = delete;

private:
   CodecContext &mCtx;
};

} // namespace Ruvo::Binding
