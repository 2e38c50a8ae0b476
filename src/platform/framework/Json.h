#pragma once
// One JSON mapping for every value type and every record. Records describe
// their attributes once (Record.h); the state database, the local backup, the
// simulator's state dump and the tools all read and write JSON through here.

#include "platform/framework/Values.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace Zem {

using Json = nlohmann::ordered_json;

// Raised for JSON that does not fit the record or value it is read into; the
// message names the attribute path.
class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <class T, class Enable = void>
struct JsonCodec;

// The member `name` of the JSON object `j` (a `what`); a value read from JSON
// has every field present, a missing one is refused rather than defaulted.
inline const Json& requiredField(const Json& j, const char* name, const char* what) {
  auto it = j.find(name);
  if (it == j.end()) throw JsonError(std::string(what) + " lacks " + name);
  return *it;
}

template <>
struct JsonCodec<bool> {
  static Json toJson(bool v) { return v; }
  static bool fromJson(const Json& j) {
    if (!j.is_boolean()) throw JsonError("expected a boolean");
    return j.get<bool>();
  }
};

template <class T>
struct JsonCodec<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
  static Json toJson(T v) { return v; }
  static T fromJson(const Json& j) {
    if (!j.is_number_integer()) throw JsonError("expected an integer");
    if constexpr (std::is_signed_v<T>) {
      auto v = j.get<int64_t>();
      if (v < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
          v > static_cast<int64_t>(std::numeric_limits<T>::max())) {
        throw JsonError("integer out of range");
      }
      return static_cast<T>(v);
    } else {
      if (j.is_number_integer() && !j.is_number_unsigned() && j.get<int64_t>() < 0) throw JsonError("integer out of range");
      auto v = j.get<uint64_t>();
      if (v > static_cast<uint64_t>(std::numeric_limits<T>::max())) throw JsonError("integer out of range");
      return static_cast<T>(v);
    }
  }
};

template <class T>
struct JsonCodec<T, std::enable_if_t<std::is_floating_point_v<T>>> {
  static Json toJson(T v) { return v; }
  static T fromJson(const Json& j) {
    if (!j.is_number()) throw JsonError("expected a number");
    return j.get<T>();
  }
};

// Enumerations without a codec of their own travel as their number.
template <class T>
struct JsonCodec<T, std::enable_if_t<std::is_enum_v<T>>> {
  using U = std::underlying_type_t<T>;
  static Json toJson(T v) { return static_cast<U>(v); }
  static T fromJson(const Json& j) { return static_cast<T>(JsonCodec<U>::fromJson(j)); }
};

template <>
struct JsonCodec<std::string> {
  static Json toJson(const std::string& v) { return v; }
  static std::string fromJson(const Json& j) {
    if (!j.is_string()) throw JsonError("expected a string");
    return j.get<std::string>();
  }
};

template <class T>
struct JsonCodec<Optional<T>> {
  static Json toJson(const Optional<T>& v) { return v ? JsonCodec<T>::toJson(*v) : Json(); }
  static Optional<T> fromJson(const Json& j) {
    if (j.is_null()) return none;
    return Optional<T>(JsonCodec<T>::fromJson(j));
  }
};

template <>
struct JsonCodec<Kivo::IntfId> {
  static Json toJson(const Kivo::IntfId& v) { return v.stringValue(); }
  static Kivo::IntfId fromJson(const Json& j) { return Kivo::IntfId(JsonCodec<std::string>::fromJson(j)); }
};

template <>
struct JsonCodec<Kivo::EthAddr> {
  static Json toJson(const Kivo::EthAddr& v) { return v.stringValue(); }
  static Kivo::EthAddr fromJson(const Json& j) {
    try {
      return Kivo::EthAddr::fromString(JsonCodec<std::string>::fromJson(j));
    } catch (const std::invalid_argument& e) {
      throw JsonError(e.what());
    }
  }
};

template <class T>
struct JsonCodec<std::set<T>> {
  static Json toJson(const std::set<T>& v) {
    Json j = Json::array();
    for (auto& e : v) j.push_back(JsonCodec<T>::toJson(e));
    return j;
  }
  static std::set<T> fromJson(const Json& j) {
    if (!j.is_array()) throw JsonError("expected an array");
    std::set<T> v;
    for (auto& e : j) v.insert(JsonCodec<T>::fromJson(e));
    return v;
  }
};

// Collection keys become JSON object member names.
template <class K, class Enable = void>
struct KeyCodec {
  static std::string toKey(const K& k) { return JsonCodec<K>::toJson(k).dump(); }
  static K fromKey(const std::string& s) {
    Json j;
    try {
      j = Json::parse(s);
    } catch (const Json::exception&) {
      throw JsonError("bad key '" + s + "'");
    }
    return JsonCodec<K>::fromJson(j);
  }
};

template <>
struct KeyCodec<std::string> {
  static std::string toKey(const std::string& k) { return k; }
  static std::string fromKey(const std::string& s) { return s; }
};

template <>
struct KeyCodec<Kivo::IntfId> {
  static std::string toKey(const Kivo::IntfId& k) { return k.stringValue(); }
  static Kivo::IntfId fromKey(const std::string& s) { return Kivo::IntfId(s); }
};

template <class K>
struct KeyCodec<K, std::enable_if_t<std::is_integral_v<K> && !std::is_same_v<K, bool>>> {
  static std::string toKey(const K& k) { return std::to_string(k); }
  static K fromKey(const std::string& s) {
    try {
      size_t used = 0;
      long long v = std::stoll(s, &used);
      if (used != s.size()) throw JsonError("bad key '" + s + "'");
      return JsonCodec<K>::fromJson(Json(v));
    } catch (const std::logic_error&) {
      throw JsonError("bad key '" + s + "'");
    }
  }
};

}  // namespace Zem
