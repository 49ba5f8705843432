# Writes OUTPUT: a C++ source that holds every file of SOURCE_DIR as a
# string, for FindWebAsset(). Run with cmake -P at build time.
file(GLOB names RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.html ${SOURCE_DIR}/*.css ${SOURCE_DIR}/*.js)
list(SORT names)
set(entries "")
foreach(name IN LISTS names)
    file(READ ${SOURCE_DIR}/${name} content)
    string(FIND "${content}" ")tavoweb\"" clash)
    if(NOT clash EQUAL -1)
        message(FATAL_ERROR "${name} holds the string delimiter of the embedded assets")
    endif()
    string(APPEND entries "    {\"${name}\", R\"tavoweb(${content})tavoweb\"},\n")
endforeach()
file(WRITE ${OUTPUT}.new
"// Generated from the web folder at build time; edit those files instead.
#include \"web_template.h\"

namespace Tessel {
namespace {

const WebAsset kAssets[] = {
${entries}};

}  // namespace

const WebAsset* FindWebAsset(std::string_view name)
{
    for (const WebAsset& asset : kAssets)
        if (name == asset.name)
            return &asset;
    return nullptr;
}

}  // namespace Tessel
")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUTPUT}.new ${OUTPUT})
