# The Debian package (scripts/package.sh): what only the package installs, and CPack's DEB
# settings. Included by the top CMakeLists.txt when DOCMILL_PACKAGE is on, after every
# other install rule. A missing tool (gzip) fails the configuration.
set(debian_dir "${CMAKE_CURRENT_LIST_DIR}")
set(debian_out "${PROJECT_BINARY_DIR}/debian")
file(MAKE_DIRECTORY "${debian_out}")

# The system unit is the one in deploy/, pointed at the installed program and README. Its
# opening comment (how to install by hand) does not apply to the package and is replaced.
file(READ "${PROJECT_SOURCE_DIR}/deploy/docmill-serve.service" unit)
string(FIND "${unit}" "[Unit]" unit_start)
string(SUBSTRING "${unit}" ${unit_start} -1 unit)
string(REPLACE "/usr/local/bin/docmill" "${CMAKE_INSTALL_FULL_BINDIR}/docmill" unit "${unit}")
string(REPLACE "/usr/local/share/doc/docmill" "${CMAKE_INSTALL_FULL_DOCDIR}" unit "${unit}")
if(unit MATCHES "/usr/local")
  message(FATAL_ERROR "deploy/docmill-serve.service names a /usr/local path the package does not have")
endif()
file(WRITE "${debian_out}/docmill-serve.service"
"# docmill serve as a system service, installed disabled by the docmill package:
#   systemctl enable --now docmill-serve
# Settings (DOCMILL_SERVE_TOKEN, DOCMILL_OFFICE_POOL, ...) go in /etc/docmill/serve.env.
${unit}")
install(FILES "${debian_out}/docmill-serve.service" DESTINATION /lib/systemd/system)
install(FILES "${debian_dir}/serve.env" DESTINATION "${CMAKE_INSTALL_FULL_SYSCONFDIR}/docmill")

# libdocmill_office_server keeps its search path into LibreOffice's program folder: the UNO
# libraries' own dependencies (libreglo, ...) are found only there, also when the UNO
# libraries are reached through Debian's links in the multiarch folder. lintian is told why.
install(FILES "${debian_dir}/lintian-overrides" DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides"
  RENAME docmill)

find_program(GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT "${debian_out}/changelog.Debian.gz"
  COMMAND "${GZIP}" -9nc "${debian_dir}/changelog" > "${debian_out}/changelog.Debian.gz"
  DEPENDS "${debian_dir}/changelog")
add_custom_target(docmill_debian_changelog ALL DEPENDS "${debian_out}/changelog.Debian.gz")
install(FILES "${debian_dir}/copyright" "${debian_out}/changelog.Debian.gz"
  DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(DIRECTORY "${PROJECT_SOURCE_DIR}/deploy/" DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME docmill)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PACKAGE_CONTACT "docmill maintainers <maintainers@users.noreply.c-seed-50a2d8da.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "document conversion into PDF and PostScript for servers")
# The extended description: CPack puts the summary above it and indents every line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "docmill turns Word, Excel, PowerPoint and Publisher documents,
plain text, PostScript and PDF into PDF and PostScript files, printed or
exported by a pool of private headless LibreOffice processes and a
sandboxed PostScript interpreter.
.
This package holds the docmill command, its automation class
PDF.CreatePDF, the Python module, and the docmill-serve HTTP service as a
systemd unit, installed disabled.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The libraries' packages come from what the binaries link (dpkg-shlibdeps; our own
# libraries are found in /usr/lib/docmill of the staged tree). What is loaded or run at
# run time is listed by hand: the interpreter and CUPS libraries (dlopen), the office, the fonts the
# documents are laid out with, Python for the module (built for this python3 only), and
# adduser for the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps runs in the staged tree: the private folder, relative to it.
string(REGEX REPLACE "^/" "" private_libs "${CMAKE_INSTALL_PREFIX}/${DOCMILL_LIB_INSTALL_DIR}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${private_libs}")
# The libraries loaded with dlopen, by the names the code asks for: the package that holds
# each on this machine (libgs10, libcups2, or a later release's names).
execute_process(COMMAND dpkg-architecture -qDEB_HOST_MULTIARCH
  OUTPUT_VARIABLE multiarch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(loaded_packages "")
foreach(soname libgs.so.10 libcups.so.2)
  execute_process(COMMAND dpkg-query -S "*/${multiarch}/${soname}"
    OUTPUT_VARIABLE owner RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0 OR NOT owner MATCHES "^([a-z0-9.+-]+)(:[a-z0-9]+)?: ")
    message(FATAL_ERROR "No installed package holds ${soname}, which docmill loads at run time")
  endif()
  string(APPEND loaded_packages "${CMAKE_MATCH_1}, ")
endforeach()
find_package(Python3 REQUIRED COMPONENTS Interpreter)
math(EXPR python_next_minor "${Python3_VERSION_MINOR} + 1")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, ${loaded_packages}\
libreoffice-core, libreoffice-writer, libreoffice-calc, libreoffice-impress, libreoffice-draw, \
fonts-dejavu-core, fonts-liberation2, fonts-urw-base35, fonts-crosextra-carlito, \
fonts-crosextra-caladea, fonts-wqy-microhei, \
python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), \
python3 (<< ${Python3_VERSION_MAJOR}.${python_next_minor})")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${debian_dir}/postinst;${debian_dir}/prerm;${debian_dir}/postrm;${debian_dir}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
