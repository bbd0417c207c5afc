# Turns the catalogue table into a C++ source holding its bytes, so that every platform reads the
# very same table from the program's read-only data.
#   cmake -DINPUT=catalogue.txt -DOUTPUT=catalogue_data.cc -P embed_catalogue.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
if(hexLength EQUAL 0)
  message(FATAL_ERROR "${INPUT} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from catalogue.txt by embed_catalogue.cmake. Do not edit.
#include \"i18n/catalogue.h\"

namespace ov {
namespace {

constexpr unsigned char kTable[] = {
    ${bytes}
};

}  // namespace

std::string_view CatalogueTable() {
  return std::string_view(reinterpret_cast<const char*>(kTable), sizeof kTable);
}

}  // namespace ov
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
