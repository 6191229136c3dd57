// Document sections: one 26-field payment record each.
#pragma once

#include <string>
#include <string_view>

#include "attribute_map.h"
#include "result.h"
#include "statement.h"

namespace corvina {

// Builds a document from the section's kind (always the doc_type, whatever the attributes say
// under "СекцияДокумент") and its attributes. Values are converted in ascending byte order of
// their keys (Дата, ДатаПоступило, ДатаСписано, Сумма), and the first conversion failure is the
// result, with the converter's text; only then are required keys checked, in declaration order,
// with "missing field `{key}`". Unknown keys are ignored. All texts of the document are copied
// into one block that the document owns.
[[nodiscard]] Result<Document, std::string> build_document(std::string_view kind,
                                                           const AttributeMap& attributes);

// "missing field `{key}`", the builders' text for a required key that did not occur.
std::string missing_field_message(std::string_view key);

}  // namespace corvina
