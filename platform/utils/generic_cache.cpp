#include "platform/utils/generic_cache.h"

#include <algorithm>
#include <boost/multi_index/hashed_index.hpp>
#include <boost/multi_index/member.hpp>
#include <boost/multi_index/sequenced_index.hpp>
#include <boost/multi_index/tag.hpp>
#include <boost/multi_index_container.hpp>
#include <cerrno>
#include <new>
#include <utility>

namespace ObjectStore {

namespace {

namespace bmi = boost::multi_index;

struct Element {
  std::string key1;
  std::string key2;
  uint64_t charge = 0;
};

// Only ASCII letters fold: the result must not depend on the process locale.
inline unsigned char foldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Hash and equality of key 2; the case mode is fixed when the cache is made.
struct Key2Hash {
  bool caseInsensitive = false;
  size_t operator()(const std::string& key) const {
    // FNV-1a over the (folded) bytes: equal keys under Key2Equal hash equal.
    uint64_t hash = 14695981039346656037ull;
    for (char c : key) {
      unsigned char byte = static_cast<unsigned char>(c);
      hash ^= caseInsensitive ? foldAscii(byte) : byte;
      hash *= 1099511628211ull;
    }
    return static_cast<size_t>(hash);
  }
};

struct Key2Equal {
  bool caseInsensitive = false;
  bool operator()(const std::string& a, const std::string& b) const {
    if (!caseInsensitive) return a == b;
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (foldAscii(static_cast<unsigned char>(a[i])) !=
          foldAscii(static_cast<unsigned char>(b[i])))
        return false;
    }
    return true;
  }
};

struct by_order {};
struct by_key1 {};
struct by_key2 {};

// The sequenced index is the eviction order: oldest (or least recently used)
// at the front, youngest at the back.
using Container = bmi::multi_index_container<
    Element,
    bmi::indexed_by<
        bmi::sequenced<bmi::tag<by_order>>,
        bmi::hashed_unique<bmi::tag<by_key1>, bmi::member<Element, std::string, &Element::key1>>,
        bmi::hashed_unique<bmi::tag<by_key2>, bmi::member<Element, std::string, &Element::key2>,
                           Key2Hash, Key2Equal>>>;

using OrderIndex = Container::index<by_order>::type;
using OrderIter = OrderIndex::iterator;

Container makeContainer(bool key2CaseInsensitive) {
  Container::ctor_args_list args;
  auto& key2Args = boost::tuples::get<2>(args);
  boost::tuples::get<2>(key2Args) = Key2Hash{key2CaseInsensitive};
  boost::tuples::get<3>(key2Args) = Key2Equal{key2CaseInsensitive};
  return Container(args);
}

}  // namespace

struct generic_cache::Impl {
  explicit Impl(const generic_cache_options& opts)
      : options(opts), elements(makeContainer(opts.key2CaseInsensitive)) {}

  uint64_t chargeOf(const std::string& key1, const std::string& key2) const {
    return std::max<uint64_t>(options.elementSize, key1.size() + key2.size() + 2);
  }

  OrderIndex& order() { return elements.get<by_order>(); }

  // Removes one element, telling the owner first.
  void release(OrderIter it) {
    if (options.cleanup) options.cleanup(it->key1, it->key2);
    bytes -= it->charge;
    order().erase(it);
  }

  void evictToFit() {
    while (bytes > options.maxBytes && !order().empty()) {
      release(order().begin());
      ++counters.evictions;
    }
  }

  void makeYoungest(OrderIter it) { order().relocate(order().end(), it); }

  generic_cache_options options;
  Container elements;
  uint64_t bytes = 0;  // sum of the charges of all elements
  generic_cache_stats counters;
};

std::unique_ptr<generic_cache> generic_cache::create(const generic_cache_options& options) {
  if (options.maxBytes == 0) return nullptr;
  return std::unique_ptr<generic_cache>(new generic_cache(std::make_unique<Impl>(options)));
}

generic_cache::generic_cache(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

generic_cache::~generic_cache() { clear(); }

uint64_t generic_cache::chargeOf(const std::string& key1, const std::string& key2) const {
  return impl_->chargeOf(key1, key2);
}

int generic_cache::insertOrUpdate(const std::string& key1, const std::string& key2) {
  Impl& s = *impl_;
  auto& byKey1 = s.elements.get<by_key1>();
  auto& byKey2 = s.elements.get<by_key2>();
  const uint64_t charge = s.chargeOf(key1, key2);
  auto existing = byKey1.find(key1);

  if (charge > s.options.maxBytes) {
    if (existing != byKey1.end()) {
      s.release(s.elements.project<by_order>(existing));
      ++s.counters.deletes;
    }
    return ENOSPC;
  }

  try {
    // Copy the key first: once elements start to change, nothing may throw.
    std::string newKey2 = key2;
    auto other = byKey2.find(key2);
    if (other != byKey2.end() &&
        (existing == byKey1.end() || s.elements.project<by_key1>(other) != existing)) {
      s.release(s.elements.project<by_order>(other));
      ++s.counters.collisions;
    }
    if (existing != byKey1.end()) {
      const uint64_t oldCharge = existing->charge;
      byKey1.modify(existing, [&](Element& e) {
        e.key2.swap(newKey2);
        e.charge = charge;
      });
      s.bytes = s.bytes - oldCharge + charge;
      s.makeYoungest(s.elements.project<by_order>(existing));
    } else {
      s.order().push_back(Element{key1, std::move(newKey2), charge});
      s.bytes += charge;
    }
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  ++s.counters.inserts;
  s.evictToFit();
  return 0;
}

bool generic_cache::findByKey1(const std::string& key1, std::string* key2) {
  Impl& s = *impl_;
  auto& byKey1 = s.elements.get<by_key1>();
  auto it = byKey1.find(key1);
  if (it == byKey1.end()) {
    ++s.counters.misses;
    return false;
  }
  ++s.counters.hits;
  if (key2 != nullptr) *key2 = it->key2;
  if (s.options.refreshOnLookup) s.makeYoungest(s.elements.project<by_order>(it));
  return true;
}

bool generic_cache::findByKey2(const std::string& key2, std::string* key1) {
  Impl& s = *impl_;
  auto& byKey2 = s.elements.get<by_key2>();
  auto it = byKey2.find(key2);
  if (it == byKey2.end()) {
    ++s.counters.misses;
    return false;
  }
  ++s.counters.hits;
  if (key1 != nullptr) *key1 = it->key1;
  if (s.options.refreshOnLookup) s.makeYoungest(s.elements.project<by_order>(it));
  return true;
}

bool generic_cache::erase(const std::string& key1) {
  Impl& s = *impl_;
  auto& byKey1 = s.elements.get<by_key1>();
  auto it = byKey1.find(key1);
  if (it == byKey1.end()) return false;
  s.release(s.elements.project<by_order>(it));
  ++s.counters.deletes;
  return true;
}

int generic_cache::rename(const RenameCallback& callback) {
  Impl& s = *impl_;
  OrderIndex& order = s.order();
  auto& byKey2 = s.elements.get<by_key2>();
  int result = 0;
  for (OrderIter it = order.begin(); it != order.end();) {
    OrderIter next = std::next(it);
    std::string newKey2;
    int answer;
    try {
      answer = callback(it->key2, newKey2);
    } catch (const std::bad_alloc&) {
      answer = ENOMEM;
    }
    if (answer == RENAME_UNTOUCHED) {
      it = next;
      continue;
    }
    if (answer != 0) {
      result = answer;
      break;
    }
    auto other = byKey2.find(newKey2);
    if (other != byKey2.end()) {
      OrderIter otherPos = s.elements.project<by_order>(other);
      if (otherPos != it) {
        if (otherPos == next) ++next;
        s.release(otherPos);
        ++s.counters.collisions;
      }
    }
    const uint64_t newCharge = s.chargeOf(it->key1, newKey2);
    const uint64_t oldCharge = it->charge;
    order.modify(it, [&](Element& e) {
      e.key2.swap(newKey2);
      e.charge = newCharge;
    });
    s.bytes = s.bytes - oldCharge + newCharge;
    ++s.counters.renames;
    it = next;
  }
  s.evictToFit();
  return result;
}

void generic_cache::clear() {
  Impl& s = *impl_;
  if (s.options.cleanup) {
    for (const Element& e : s.order()) s.options.cleanup(e.key1, e.key2);
  }
  s.elements.clear();
  s.bytes = 0;
}

generic_cache_stats generic_cache::stats() const {
  const Impl& s = *impl_;
  generic_cache_stats out = s.counters;
  out.buckets = s.elements.get<by_key1>().bucket_count();
  out.numItems = s.elements.size();
  out.bytes = s.bytes;
  return out;
}

void generic_cache::dump(const DumpCallback& callback) const {
  for (const Element& e : impl_->elements.get<by_order>()) callback(e.key1, e.key2);
}

}  // namespace ObjectStore
