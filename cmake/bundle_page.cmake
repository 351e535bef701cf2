# cmake -DESBUILD=<esbuild> -DSOURCE=<web> -DWEB=<its copy in the build tree> -P bundle_page.cmake
#
# The page's scripts are ES modules (web/js/main.js and what it imports), which is how they are
# written, tested and served from a development folder. The built page loads them as one classic
# script instead, js/app.js: WebKitGTK starts a freshly launched page's first module graph about
# 100 ms later than a classic script of the same code (measured from launch to "app.ready", and
# the screens' modules load faster with it too). The modules stay beside it, unused.
execute_process(
    COMMAND ${ESBUILD} ${WEB}/js/main.js --bundle --format=iife --target=es2022 --sourcemap
        "--banner:js=\"use strict\";" --log-level=warning --outfile=${WEB}/js/app.js
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "bundling the page's scripts failed (${ESBUILD})")
endif()

# A module loaded by a path the bundler cannot see (import() of a computed name) would come as a
# second copy of the modules it imports, the bridge's among them.
file(READ ${WEB}/js/app.js bundle)
string(FIND "${bundle}" "import(" at)
if(NOT at EQUAL -1)
    message(FATAL_ERROR "the page's bundle still imports a module at run time: import() only "
        "literal paths in web/js")
endif()

set(module_tag "<script type=\"module\" src=\"js/main.js\"></script>")
file(READ ${SOURCE}/index.html html)
string(FIND "${html}" "${module_tag}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "${SOURCE}/index.html no longer loads js/main.js as written here: "
        "update cmake/bundle_page.cmake")
endif()
string(REPLACE "${module_tag}" "<script defer src=\"js/app.js\"></script>" html "${html}")
# The modules' preloads: one script is fetched instead.
string(REGEX REPLACE "  <!-- Every module the start imports[^>]*-->\n" "" html "${html}")
string(REGEX REPLACE "  <link rel=\"modulepreload\" href=\"[^\"]*\">\n" "" html "${html}")
file(WRITE ${WEB}/index.html "${html}")
