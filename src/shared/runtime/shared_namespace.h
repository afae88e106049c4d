#pragma once
// A namespace of named values shared between threads. A read returns a copy
// (or an immutable snapshot) of the value stored at that moment; an
// assignment replaces the value for every later reader. Attributes are never
// removed; reading one that was never assigned is an error.
#include <any>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <vector>

namespace tessel {

class AttributeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SharedNamespace {
 public:
  SharedNamespace() = default;
  SharedNamespace(const SharedNamespace&) = delete;
  SharedNamespace& operator=(const SharedNamespace&) = delete;

  template <class T>
  void set(std::string_view name, T value) {
    auto holder = std::make_shared<const std::any>(std::in_place_type<std::decay_t<T>>, std::move(value));
    std::lock_guard lk(mu_);
    auto it = values_.find(name);
    if (it == values_.end()) {
      values_.emplace(std::string(name), std::move(holder));
      order_.emplace_back(name);
    } else {
      it->second = std::move(holder);
    }
  }

  // An immutable snapshot: cheap, and never affected by later assignments.
  template <class T>
  std::shared_ptr<const T> snapshot(std::string_view name) const {
    auto holder = lookup(name);
    const T* p = std::any_cast<T>(holder.get());
    if (p == nullptr) {
      throw AttributeError("attribute '" + std::string(name) + "' holds " + holder->type().name() + ", not " +
                           typeid(T).name());
    }
    return std::shared_ptr<const T>(holder, p);
  }

  // A private copy of the current value.
  template <class T>
  T get(std::string_view name) const {
    return *snapshot<T>(name);
  }

  // Reads, changes and assigns one attribute in one step under the lock, so
  // that concurrent updaters never lose each other's changes. `fn` gets a
  // copy of the value to change; its result is returned.
  template <class T, class Fn>
  auto update(std::string_view name, Fn&& fn) {
    std::lock_guard lk(mu_);
    auto it = values_.find(name);
    if (it == values_.end()) throw AttributeError("'Namespace' object has no attribute '" + std::string(name) + "'");
    const T* p = std::any_cast<T>(it->second.get());
    if (p == nullptr) throw AttributeError("attribute '" + std::string(name) + "' holds another type");
    T value = *p;
    if constexpr (std::is_void_v<std::invoke_result_t<Fn&, T&>>) {
      fn(value);
      it->second = std::make_shared<const std::any>(std::in_place_type<T>, std::move(value));
    } else {
      auto out = fn(value);
      it->second = std::make_shared<const std::any>(std::in_place_type<T>, std::move(value));
      return out;
    }
  }

  bool has(std::string_view name) const {
    std::lock_guard lk(mu_);
    return values_.find(name) != values_.end();
  }

  // Attribute names in the order of their first assignment.
  std::vector<std::string> names() const {
    std::lock_guard lk(mu_);
    return order_;
  }

 private:
  std::shared_ptr<const std::any> lookup(std::string_view name) const {
    std::lock_guard lk(mu_);
    auto it = values_.find(name);
    if (it == values_.end()) {
      throw AttributeError("'Namespace' object has no attribute '" + std::string(name) + "'");
    }
    return it->second;
  }

  mutable std::mutex mu_;
  std::map<std::string, std::shared_ptr<const std::any>, std::less<>> values_;
  std::vector<std::string> order_;
};

}  // namespace tessel
