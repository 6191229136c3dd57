// Statement.records() and Statement.interval_records(): the records as plain dicts of typed
// values, for code that goes on to arithmetic, an ORM or a data frame without a loop of its own.
//
// Dates become datetime.date and amounts decimal.Decimal with the scale as written, so 100.50
// stays Decimal('100.50') and nothing is rounded through a float. Both types are looked up once
// per call and dropped with it: the module keeps no state beyond its type objects, and each
// interpreter has its own decimal module.
#include <Python.h>
#include <datetime.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "amount.h"
#include "cp1251_decode.h"
#include "date.h"
#include "direction.h"
#include "document_extra.h"
#include "guard.h"
#include "module_types.h"
#include "owned_ref.h"
#include "record_schema.h"
#include "statement.h"

namespace corvina::py {
namespace {

// Stores `value` (a new reference; nullptr means an exception is set) in `dict` and lets go of
// it. Without an OwnedRef: the records are made with the lock held, and each OwnedRef that lets
// go asks for the thread's state first, a few dozen times a record.
bool put(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int stored = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return stored == 0;
}

// A statement repeats its dates (a month has thirty of them) and its round amounts; each
// distinct one is made once per call and shared, as date and Decimal objects are immutable.
// Direct-mapped: a value that finds another in its slot takes the slot over, which costs no
// more than having no cache. The slots borrow, as RepeatedTexts' do.
template <typename Key, size_t kSlots>
class ObjectCache {
 public:
  // A new reference to the object cached under key, or nullptr.
  PyObject* find(const Key& key, uint64_t hash) const {
    const Slot& slot = slots_[slot_of(hash)];
    return slot.object != nullptr && slot.key == key ? Py_NewRef(slot.object) : nullptr;
  }
  // Caches `object` (a new reference, possibly null) and hands it back.
  PyObject* keep(const Key& key, uint64_t hash, PyObject* object) {
    if (object == nullptr) return nullptr;
    Slot& slot = slots_[slot_of(hash)];
    slot.key = key;
    slot.object = object;
    return object;
  }

 private:
  static_assert((kSlots & (kSlots - 1)) == 0, "slots are picked by the hash's top bits");
  static size_t slot_of(uint64_t hash) {
    return static_cast<size_t>((hash * 0x9E3779B97F4A7C15u) >> (64 - std::bit_width(kSlots - 1)));
  }
  struct Slot {
    Key key{};
    PyObject* object = nullptr;
  };
  std::array<Slot, kSlots> slots_;
};

// What makes the typed values of one call.
class TypedValues {
 public:
  // Imports what the values need; false with an exception set.
  bool start() {
    datetime_ = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (datetime_ == nullptr) return false;
    OwnedRef module = OwnedRef::steal(PyImport_ImportModule("decimal"));
    if (!module) return false;
    decimal_ = OwnedRef::steal(PyObject_GetAttrString(module.get(), "Decimal"));
    return static_cast<bool>(decimal_);
  }

  // A new reference; ValueError for a year datetime.date has not (the format allows years from
  // before the era and past 9999), naming the field and the record, place() (a std::string).
  template <typename Place>
  PyObject* date(const Date& date, std::string_view field, const Place& place) {
    if (date.year < 1 || date.year > 9999) {
      const std::string text(format_date(date).view());
      const std::string where = place();
      PyErr_Format(PyExc_ValueError, "%.*s %s of %s is out of the range of datetime.date",
                   static_cast<int>(field.size()), field.data(), text.c_str(), where.c_str());
      return nullptr;
    }
    const uint64_t key = uint64_t{static_cast<uint32_t>(date.year)} << 16 |
                         uint64_t{date.month} << 8 | date.day;
    if (PyObject* known = dates_.find(key, key)) return known;
    return dates_.keep(key, key,
                       datetime_->Date_FromDate(date.year, date.month, date.day,
                                                datetime_->DateType));
  }

  // A new reference: Decimal of the canonical text, which keeps the scale.
  PyObject* amount(const Amount& amount) {
    const uint64_t hash = amount.magnitude_low ^ uint64_t{amount.magnitude_high} << 24 ^
                          uint64_t{amount.scale} << 56 ^ uint64_t{amount.negative} << 63;
    if (PyObject* known = amounts_.find(amount, hash)) return known;
    const AmountText text = format_amount(amount);
    OwnedRef str = OwnedRef::steal(
        PyUnicode_FromStringAndSize(text.data, static_cast<Py_ssize_t>(text.size)));
    if (!str) return nullptr;
    return amounts_.keep(amount, hash, PyObject_CallOneArg(decimal_.get(), str.get()));
  }

 private:
  PyDateTime_CAPI* datetime_ = nullptr;  // the capsule's, alive while datetime is imported
  OwnedRef decimal_;
  ObjectCache<uint64_t, 1024> dates_;
  ObjectCache<Amount, 1024> amounts_;
};

// Texts repeat down a column: a statement names the same banks, accounts, counterparties and
// codes in document after document. A column hands out the str it made of the same bytes
// before (str objects are immutable), so a statement costs a str per distinct text, not per
// value. The bytes are views of the stored texts, whose documents the call holds. A column whose
// texts do not repeat (numbers, purposes) stops looking after a trial of rows, and pays for
// hashing those and no more.
//
// Direct-mapped and small, so that the columns' slots stay in the cache as the rows go by: a
// text that meets another in its slot is made again, which costs what no cache would. That is
// also all an input can do to it, so the hash needs no key.
class RepeatedTexts {
 public:
  // A new reference to the str of `stored` (with `tag`, which tells two forms of the same
  // bytes apart), made by make() when it is not at hand; nullptr with an exception set.
  template <typename Make>
  PyObject* get(std::string_view stored, bool tag, Make&& make) {
    // A slot keeps a size of 32 bits; a longer text is made every time.
    if (!looking_ || stored.size() > UINT32_MAX) return make();
    const uint64_t hash = text_hash(stored) ^ tag;
    Slot& slot = slots_[hash >> (64 - kSlotBits)];
    ++lookups_;
    if (slot.hash == hash && slot.object != nullptr && slot.size == stored.size() &&
        slot.same_bytes(stored)) {
      ++hits_;
      return Py_NewRef(slot.object);
    }
    PyObject* made = make();
    if (made == nullptr) return nullptr;
    if (lookups_ == kTrial && hits_ < kTrial / kFewestHitsIn) {
      looking_ = false;
      slots_ = {};
    } else {
      slot.keep(hash, stored, made);
    }
    return made;
  }

 private:
  static constexpr unsigned kSlotBits = 7;
  static constexpr size_t kTrial = 256;
  static constexpr size_t kFewestHitsIn = 8;  // a hit in eight lookups keeps a column looking

  // Every byte, a word at a time, multiplied and folded; the top bits pick the slot.
  static uint64_t text_hash(std::string_view text) {
    constexpr uint64_t kMultiplier = 0xFF51AFD7ED558CCDu;
    uint64_t hash = text.size() * 0x9E3779B97F4A7C15u;
    const char* at = text.data();
    size_t left = text.size();
    for (; left >= 8; at += 8, left -= 8) {
      uint64_t word;
      std::memcpy(&word, at, 8);
      hash = (hash ^ word) * kMultiplier;
      hash ^= hash >> 29;
    }
    if (left > 0) {
      uint64_t word = 0;
      std::memcpy(&word, at, left);
      hash = (hash ^ word) * kMultiplier;
      hash ^= hash >> 29;
    }
    return hash * 0x9E3779B97F4A7C15u;
  }

  // The bytes of a text as long as an account number are kept in the slot itself: comparing
  // them there reads no line of a document far behind.
  struct Slot {
    static constexpr size_t kKeptBytes = 20;
    uint64_t hash = 0;
    uint32_t size = 0;
    std::array<char, kKeptBytes> kept{};
    const char* data = nullptr;
    // Borrowed: every str handed out goes into a record of the list being made, which outlives
    // the slots. A slot that takes another text then touches nothing of the one it held, which
    // lies far behind in memory by then.
    PyObject* object = nullptr;

    // An empty text may have no bytes at all (a null pointer), which memcmp and memcpy must
    // never be given, even for nothing.
    bool same_bytes(std::string_view text) const {
      return text.empty() || std::memcmp(text.size() <= kKeptBytes ? kept.data() : data,
                                         text.data(), text.size()) == 0;
    }
    void keep(uint64_t text_hash, std::string_view text, PyObject* made) {
      hash = text_hash;
      size = static_cast<uint32_t>(text.size());
      if (!text.empty() && text.size() <= kKeptBytes) {
        std::memcpy(kept.data(), text.data(), text.size());
      }
      data = text.data();
      object = made;
    }
  };
  std::array<Slot, size_t{1} << kSlotBits> slots_;
  size_t lookups_ = 0;
  size_t hits_ = 0;
  bool looking_ = true;
};

// The records are new, hold nothing that could close a cycle, and nothing else refers to them
// until the list is returned: a collection while they are made would only walk them, again as
// they pass from generation to generation. The collector is paused while they are made and then
// left as it was. Not without the interpreter lock: there other threads run meanwhile, and
// turning the collector back on could undo a gc.disable() one of them made in between.
class PausedCollector {
 public:
#ifdef Py_GIL_DISABLED
  PausedCollector() : was_enabled_(0) {}
#else
  PausedCollector() : was_enabled_(PyGC_Disable()) {}
#endif
  ~PausedCollector() {
    if (was_enabled_) PyGC_Enable();
  }
  PausedCollector(const PausedCollector&) = delete;
  PausedCollector& operator=(const PausedCollector&) = delete;

 private:
  int was_enabled_;
};

// The str of every key of a record, interned, and a dict of them all set to None: each record is
// a copy of that dict, which takes its keys' table whole instead of growing one key at a time,
// and an absent optional field is then left as it is.
class RecordShape {
 public:
  template <size_t count>
  bool start(const std::array<std::string_view, count>& names) {
    shape_ = OwnedRef::steal(PyDict_New());
    if (!shape_) return false;
    for (std::string_view name : names) {
      PyObject* key =
          PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
      if (key == nullptr) return false;
      PyUnicode_InternInPlace(&key);
      keys_.push_back(OwnedRef::steal(key));
      if (PyDict_SetItem(shape_.get(), key, Py_None) < 0) return false;
    }
    return true;
  }
  PyObject* new_record() const { return PyDict_Copy(shape_.get()); }
  // Stores `value` (a new reference, or nullptr with an exception set) under key `index`.
  bool set(PyObject* record, size_t index, PyObject* value) const {
    return put(record, keys_[index].get(), value);
  }

 private:
  OwnedRef shape_;
  std::vector<OwnedRef> keys_;
};

// Sets the record's entries of every field of `fields`, from key `first` on; false with an
// exception set. Absent optional fields keep their None.
// `text(i, view)` makes the new reference of the text of row i.
template <const auto& fields, typename Record, typename Text, typename Place>
bool set_fields(const RecordShape& shape, PyObject* out, size_t first, const Record& record,
                TypedValues& values, Text&& text, const Place& place) {
  bool ok = true;
  size_t index = first;
  for_each_field(fields, [&](const auto& row) {
    using Row = std::remove_cvref_t<decltype(row)>;
    const size_t at = index++;
    if (!ok) return;
    const auto& value = Row::of(record);
    const auto* item = present_item(value);
    if (item == nullptr) return;
    PyObject* object;
    if constexpr (Row::kind == FieldKind::Text) {
      object = text(at - first, *item);
    } else if constexpr (Row::kind == FieldKind::Date) {
      object = values.date(*item, row.name, place);
    } else {
      object = values.amount(*item);
    }
    ok = shape.set(out, at, object);
  });
  return ok;
}

template <size_t a, size_t b>
constexpr std::array<std::string_view, a + b> joined(const std::array<std::string_view, a>& x,
                                                     const std::array<std::string_view, b>& y) {
  std::array<std::string_view, a + b> out{};
  for (size_t i = 0; i < a; ++i) out[i] = x[i];
  for (size_t i = 0; i < b; ++i) out[a + i] = y[i];
  return out;
}

constexpr size_t kDocumentFieldNames = kFieldCount<decltype(kDocumentFields)>;
constexpr auto kDocumentRecordKeys =
    joined(field_names<kDocumentFields>(),
           std::array<std::string_view, 3>{"lineno", "extra", "direction"});
constexpr size_t kLinenoKey = kDocumentFieldNames;
constexpr size_t kExtraKey = kDocumentFieldNames + 1;
constexpr size_t kDirectionKey = kDocumentFieldNames + 2;

constexpr auto kIntervalRecordKeys =
    joined(std::array<std::string_view, 1>{"account"}, field_names<kIntervalFields>());

// The texts of one call's document records, each column with its own repeats.
struct DocumentTexts {
  PyObject* field(size_t row, std::string_view text) {
    return columns[row].get(text, false, [text] { return new_text(text); });
  }

  // The extras as stored: a common key is its index, any other key or value the same bytes,
  // and a value in Windows-1251 is decoded only when it is not at hand.
  PyObject* new_extra_dict(const Document& document) {
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return nullptr;
    bool failed = false;
    for_each_stored_extra_entry(document, [&](size_t common, std::string_view key,
                                              std::string_view value, bool cp1251) {
      if (failed) return;
      PyObject* key_text = extra_key(common, key);
      if (key_text == nullptr) {
        failed = true;
        return;
      }
      failed = !put(dict.get(), key_text, extra_values.get(value, cp1251, [&] {
        return new_stored_text(value, cp1251);
      }));
      Py_DECREF(key_text);
    });
    if (failed) return nullptr;
    return dict.release();
  }

  std::array<RepeatedTexts, kDocumentFieldNames> columns;
  RepeatedTexts extra_keys;
  RepeatedTexts extra_values;

 private:
  // A new reference to the str of an extra key.
  PyObject* extra_key(size_t common, std::string_view key) {
    if (common == kCommonExtraKeyCount) {
      return extra_keys.get(key, false, [key] { return new_text(key); });
    }
    OwnedRef& made = common_keys_[common];
    if (!made) made = OwnedRef::steal(new_text(key));
    return made ? Py_NewRef(made.get()) : nullptr;
  }
  std::array<OwnedRef, kCommonExtraKeyCount> common_keys_;

  PyObject* new_stored_text(std::string_view value, bool cp1251) {
    if (!cp1251) return new_text(value);
    decoded_.resize(cp1251_decoded_room(value));
    const char* end = decode_cp1251_into(value, decoded_.data());
    return new_text(std::string_view(decoded_.data(), static_cast<size_t>(end - decoded_.data())));
  }
  std::string decoded_;  // reused: no allocation per value
};

PyObject* new_document_record(const RecordShape& shape, const Document& document,
                              TypedValues& values, DocumentTexts& texts,
                              const std::array<OwnedRef, 4>& directions) {
  OwnedRef record = OwnedRef::steal(shape.new_record());
  if (!record) return nullptr;
  const auto place = [&document] {
    return "the document at line " + std::to_string(document.lineno);
  };
  const auto text = [&texts](size_t row, std::string_view view) { return texts.field(row, view); };
  if (!set_fields<kDocumentFields>(shape, record.get(), 0, document, values, text, place) ||
      !shape.set(record.get(), kLinenoKey, PyLong_FromUnsignedLong(document.lineno)) ||
      !shape.set(record.get(), kExtraKey, texts.new_extra_dict(document))) {
    return nullptr;
  }
  PyObject* direction = directions[static_cast<size_t>(document.direction())].get();
  if (direction != nullptr && !shape.set(record.get(), kDirectionKey, Py_NewRef(direction))) {
    return nullptr;
  }
  return record.release();
}

}  // namespace

PyObject* statement_records(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    OwnedRef holder;
    std::vector<const Document*> documents;
    if (!documents_now(self, holder, documents)) return nullptr;
    // Both large (their slots), so kept off the stack of whichever thread calls.
    auto values = std::make_unique<TypedValues>();
    auto texts = std::make_unique<DocumentTexts>();
    RecordShape shape;
    if (!values->start() || !shape.start(kDocumentRecordKeys)) return nullptr;
    std::array<OwnedRef, 4> directions;  // by Direction; None stays null
    for (Direction direction : {Direction::In, Direction::Out, Direction::Internal}) {
      const std::string_view name = *direction_name(direction);
      PyObject* text =
          PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
      if (text == nullptr) return nullptr;
      PyUnicode_InternInPlace(&text);
      directions[static_cast<size_t>(direction)] = OwnedRef::steal(text);
    }
    PausedCollector paused;
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(documents.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < documents.size(); ++i) {
      PyObject* record = new_document_record(shape, *documents[i], *values, *texts, directions);
      if (record == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record);
    }
    return list.release();
  });
}

PyObject* statement_interval_records(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    OwnedRef holder;
    std::vector<const Account*> accounts;
    if (!accounts_now(self, holder, accounts)) return nullptr;
    auto values = std::make_unique<TypedValues>();
    RecordShape shape;
    if (!values->start() || !shape.start(kIntervalRecordKeys)) return nullptr;
    OwnedRef list = OwnedRef::steal(PyList_New(0));
    if (!list) return nullptr;
    PausedCollector paused;
    for (const Account* account : accounts) {
      OwnedRef number = OwnedRef::steal(new_text(account->number));
      if (!number) return nullptr;
      const auto place = [account] { return "an interval of account " + account->number; };
      for (const Interval& interval : account->intervals) {
        OwnedRef record = OwnedRef::steal(shape.new_record());
        if (!record || !shape.set(record.get(), 0, Py_NewRef(number.get())) ||
            !set_fields<kIntervalFields>(shape, record.get(), 1, interval, *values,
                                         [](size_t, std::string_view text) {
                                           return new_text(text);
                                         },
                                         place) ||
            PyList_Append(list.get(), record.get()) < 0) {
          return nullptr;
        }
      }
    }
    return list.release();
  });
}

}  // namespace corvina::py
