// The module's process-wide objects and the entry points its files offer one another.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "owned_ref.h"
#include "parse_statement.h"
#include "state_machine.h"
#include "statement.h"

namespace corvina::py {

// One process-wide object, created on first need. PyMutex_Lock detaches the waiting thread from
// the interpreter while it blocks, so a thread that waits for another one's creation does not
// hold the interpreter lock that the creating thread needs.
struct OnceObject {
  std::atomic<PyObject*> object{nullptr};
  PyMutex mutex{};
};

// The object of `once`, calling create() (which returns a new reference, or nullptr with an
// exception set) if there is none yet; a failed creation is not cached. Borrowed result.
PyObject* get_once(OnceObject& once, PyObject* (*create)());

// Each getter returns a borrowed reference to the process-wide object, creating it on first
// use; nullptr with an exception set when creation fails. Creation happens at most once per
// process, and a thread that finds another one creating waits without holding the lock.
PyTypeObject* interval_type();
PyTypeObject* account_type();
PyTypeObject* document_type();
PyTypeObject* statement_type();
PyTypeObject* section_type_type();
PyTypeObject* unexpected_section_type();
PyTypeObject* unexpected_attribute_type();
PyTypeObject* unrecognized_line_type();
PyTypeObject* missing_field_type();
PyTypeObject* account_parse_error_type();
PyTypeObject* document_parse_error_type();
PyTypeObject* hook_error_type();
PyObject* parse_error_type();
PyObject* syntax_error_type();
PyObject* not_statement_error_type();
PyObject* empty_input_error_type();
PyObject* unfinished_error_type();

// The method definition of parse (parse_entry.cpp), bound to the module by module.cpp.
extern PyMethodDef parse_method;

// result_types.cpp: a new str from core text (UTF-8 by construction), and a new dict of str to
// str holding the map's entries in their order; nullptr with an exception set on failure.
PyObject* new_text(std::string_view text);
// The str of a message's pieces joined, written straight from them: an error that quotes a line
// as long as the input costs no joined copy of it besides the str.
PyObject* new_message_text(const MessagePieces& message);
PyObject* new_attribute_dict(const AttributeMap& map);

// result_types.cpp: a new Statement object that takes over the core statement; nullptr with an
// exception set on failure (everything built so far is released). `header`, when given, is a
// dict already made of statement.header, which the object takes a reference to.
PyObject* new_statement_object(Statement&& statement, PyObject* header = nullptr);

// result_types.cpp: the Document values of a Statement's documents list as it is now (the
// documents as parsed when no list was made yet), and the Account values of its accounts dict;
// `holder` keeps them alive. false with TypeError set for an item of another class.
bool documents_now(PyObject* statement, OwnedRef& holder, std::vector<const Document*>& values);
bool accounts_now(PyObject* statement, OwnedRef& holder, std::vector<const Account*>& values);

// typed_records.cpp: Statement.records() and Statement.interval_records().
PyObject* statement_records(PyObject* self, PyObject*);
PyObject* statement_interval_records(PyObject* self, PyObject*);

// parse_entry.cpp: how a parse without hooks, and a table built from its results, may share
// out their work among threads, from the environment (CORVINA_THREADS, CORVINA_CHUNK_THRESHOLD)
// and the process (the writer of document sections uses as many threads). Calls into the
// interpreter: the lock must be held.
ParseOptions options_from_environment();

// error_details.cpp: raises the exception of a failed parse with `message`: the class its facts
// name, with the `detail` of a syntax error. Not for HostsOwn, whose exception the hook runner
// left pending. Always returns nullptr.
PyObject* raise_failure(const ErrorFacts& facts, PyObject* message);

// error_details.cpp: raises an instance of `type` made by calling it with the message (so its
// args are (message,)), as the interpreter raises any exception: one being handled becomes its
// __context__. Always returns nullptr; `type` may be nullptr with an exception set.
PyObject* raise_exception(PyObject* type, PyObject* message);

// hooks.cpp: a new SectionType instance, and the runner that presents a Python callable to the
// core as a SectionHook (holding a strong reference until the runner is destroyed). The runners
// of one parse share one HeaderCopies, which converts the header once and gives each of their
// calls a new dict of it.
PyObject* new_section_type_object(SectionType type);
class HeaderCopies;
std::shared_ptr<HeaderCopies> make_header_copies();
SectionHook make_hook_runner(PyObject* callable, std::shared_ptr<HeaderCopies> header);
// Whether a hook is being called on this thread (a parse started now re-enters the module).
bool running_hook();
// The header's dict that the copies are made from, a new reference: the statement's header, so
// that a hooked parse converts it once. nullptr (no exception) when no hook was called.
PyObject* header_dict_made(const HeaderCopies& copies);

// result_types.cpp: the core value of a Document object, or nullptr for any other object; it
// lives as long as the object.
const Document* core_document(PyObject* object);
// check_documents.cpp: Statement._check_documents(accounts), the per-document part of
// corvina_convert's checks: (flaws, turnovers, digests, lines), see corvina_py.pyi.
PyObject* statement_check_documents(PyObject* self, PyObject* args);
}  // namespace corvina::py
