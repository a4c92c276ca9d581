# The Debian package: cpack -G DEB in a build folder makes
# lumigrab_VERSION_ARCH.deb from the install rules (the three programs, the
# desktop entry, the icon and the AppStream metainfo). Tests, benchmarks and
# the static libraries have no install rules and stay out.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumigrab)
set(CPACK_PACKAGE_VENDOR "${LUMIGRAB_COMPANY_NAME}")
set(CPACK_PACKAGE_CONTACT "${LUMIGRAB_COMPANY_NAME} <${LUMIGRAB_CONTACT_ADDRESS}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Lumigrab walks a picture newsgroup on a news server (NNTP, also over TLS),
fetches its large single-part articles, decodes their attachments
(uuencode, yEnc, MIME base64 and quoted-printable), keeps the pictures
in a folder and shows them.
.
The package holds the picture browser window (lumigrab) and two
command-line tools: lumigrab-decode decodes a saved article into its
attachments, lumigrab-harvest walks a group and keeps its pictures
without a window.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# dpkg-shlibdeps names the libraries the programs link (Qt, qtkeychain,
# OpenSSL, the C++ runtime). Qt loads the rest as plugins at run time,
# which it cannot see: the image readers beyond JPEG and GIF (WebP, TIFF and
# others) come from qt6-image-formats-plugins; the X11 platform plugin is in
# libqt6gui6. TLS needs the system's certificate authorities, and Wayland
# sessions run natively with Qt's Wayland plugin.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-image-formats-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates, qt6-wayland")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/LumigrabPackageCheck.cmake)

include(CPack)
