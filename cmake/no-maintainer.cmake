# Run (cmake -DMAINTAINER=... -P) as the package target of a build configured
# without a valid MODEM_TOOLS_DEB_MAINTAINER: says what to set, and fails.
message(FATAL_ERROR
  "A package needs a maintainer, \"Name <address>\", whoever builds and "
  "distributes it: configure with "
  "-DMODEM_TOOLS_DEB_MAINTAINER=\"Your Name <you@example.org>\" "
  "(MODEM_TOOLS_DEB_MAINTAINER is \"${MAINTAINER}\")")
