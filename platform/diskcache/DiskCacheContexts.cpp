#include "platform/diskcache/DiskCacheContexts.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string_view>

namespace ObjectStore {

std::vector<std::string> ContextPaths::lookupAreas() const {
  std::vector<std::string> out;
  if (!noprune.empty()) out.push_back(noprune);
  out.push_back(view.empty() ? name : view);
  return out;
}

std::string ContextPaths::placement(bool nonPrunable) const {
  if (nonPrunable || keepAll) return noprune;
  return view.empty() ? name : view;
}

CZnError DiskCacheContexts::validateArea(const std::string& rel, const char* what) {
  bool ok = !rel.empty() && rel.front() != '/' && rel.back() != '/' && rel.size() < 1024;
  // Runs on every operation: no allocation.
  std::string_view rest(rel);
  for (bool first = true; ok; first = false) {
    size_t end = rest.find('/');
    std::string_view component = rest.substr(0, end);
    ok = !component.empty() && component != "." && component != ".." &&
         component.find('\0') == std::string_view::npos;
    if (ok && first) ok = component != "recycle" && component != ".tmp";
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  if (!ok)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Invalid %s [%s]", what, rel.c_str());
  return CZnError::Success;
}

namespace {
CZnError checkPaths(const std::string& name, const std::string& noprune,
                    const std::string& view) {
  CZnError err = DiskCacheContexts::validateArea(name, "context name");
  if (err.ok() && !noprune.empty())
    err = DiskCacheContexts::validateArea(noprune, "non-prunable path");
  if (err.ok() && !view.empty()) err = DiskCacheContexts::validateArea(view, "view path");
  return err;
}
}  // namespace

CZnError DiskCacheContexts::snapshot(const DiskCacheContext& ctx, ContextPaths& out) const {
  {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    out.name = ctx.name;
    out.noprune = ctx.noprunePath;
    out.view = ctx.viewPath;
    out.keepAll = ctx.keepAll;
  }
  return checkPaths(out.name, out.noprune, out.view);
}

CZnError DiskCacheContexts::add(DiskCacheContext& ctx) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  CZnError err = checkPaths(ctx.name, ctx.noprunePath, ctx.viewPath);
  if (err.failed()) return err;
  if (std::find(contexts_.begin(), contexts_.end(), &ctx) != contexts_.end())
    return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "Error: Context [%s] already registered",
                                   ctx.name.c_str());
  ctx.volumeIndex = 0;  // one cache volume
  contexts_.push_back(&ctx);
  return CZnError::Success;
}

bool DiskCacheContexts::remove(DiskCacheContext& ctx) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  auto it = std::find(contexts_.begin(), contexts_.end(), &ctx);
  if (it == contexts_.end()) return false;
  contexts_.erase(it);
  return true;
}

CZnError DiskCacheContexts::update(DiskCacheContext& ctx, const std::string& noprunePath,
                                   bool keepAll) {
  if (!noprunePath.empty()) {
    CZnError err = validateArea(noprunePath, "non-prunable path");
    if (err.failed()) return err;
  }
  std::unique_lock<std::shared_mutex> lock(mutex_);
  ctx.noprunePath = noprunePath;
  ctx.keepAll = keepAll;
  return CZnError::Success;
}

size_t DiskCacheContexts::count() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return contexts_.size();
}

DiskCachePruneCallback DiskCacheContexts::callbackFor(const std::string& subclient) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  for (const DiskCacheContext* ctx : contexts_)
    if (ctx->name == subclient && ctx->viewPath.empty() && ctx->pruneCallback)
      return ctx->pruneCallback;
  for (const DiskCacheContext* ctx : contexts_)
    if (ctx->pruneCallback) return ctx->pruneCallback;
  return nullptr;
}

std::vector<std::pair<std::string, AreaKind>> DiskCacheContexts::areas() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  std::vector<std::pair<std::string, AreaKind>> out;
  for (const DiskCacheContext* ctx : contexts_) {
    if (ctx->viewPath.empty())
      out.emplace_back(ctx->name, AreaKind::Share);
    else
      out.emplace_back(ctx->viewPath, AreaKind::View);
    if (!ctx->noprunePath.empty()) out.emplace_back(ctx->noprunePath, AreaKind::NoPrune);
  }
  return out;
}

bool DiskCacheContexts::references(const std::string& area) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  for (const DiskCacheContext* ctx : contexts_)
    if ((ctx->viewPath.empty() && ctx->name == area) || ctx->viewPath == area ||
        ctx->noprunePath == area)
      return true;
  return false;
}

}  // namespace ObjectStore
