# The data folder of the build tree and the install rules. The build tree mirrors the installed
# layout for data: build/PRESET/share/norvik holds norvik.reg and the gesture scripts, as
# <prefix>/share/norvik does once installed, so programs find them the same way in both.
set(NORVIK_DATA_SOURCES ${PROJECT_SOURCE_DIR}/config/norvik.reg)
file(GLOB NORVIK_GESTURES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/config/gestures/*.txt)
set(NORVIK_BUILD_DATA_DIR ${CMAKE_BINARY_DIR}/share/norvik)
set(NORVIK_BUILD_DATA_FILES ${NORVIK_BUILD_DATA_DIR}/norvik.reg)
foreach(gesture ${NORVIK_GESTURES})
  get_filename_component(name ${gesture} NAME)
  list(APPEND NORVIK_BUILD_DATA_FILES ${NORVIK_BUILD_DATA_DIR}/gestures/${name})
endforeach()
add_custom_command(
  OUTPUT ${NORVIK_BUILD_DATA_FILES}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${NORVIK_BUILD_DATA_DIR}/gestures
  COMMAND ${CMAKE_COMMAND} -E copy ${NORVIK_DATA_SOURCES} ${NORVIK_BUILD_DATA_DIR}/
  COMMAND ${CMAKE_COMMAND} -E copy ${NORVIK_GESTURES} ${NORVIK_BUILD_DATA_DIR}/gestures/
  DEPENDS ${NORVIK_DATA_SOURCES} ${NORVIK_GESTURES}
  COMMENT "Copying norvik.reg and the gesture scripts into share/norvik")
add_custom_target(norvik_data ALL DEPENDS ${NORVIK_BUILD_DATA_FILES})
add_dependencies(nrvctl norvik_data)

install(TARGETS devmgr nrvctl touchsim touchtray calvex calguard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The project's libraries find each other in their own folder.
set(NORVIK_LIBRARIES norvik calibkit platform_kernel platform_gwes platform_res)
set_target_properties(${NORVIK_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS ${NORVIK_LIBRARIES} LIBRARY DESTINATION ${NORVIK_INSTALL_LIBDIR})

install(FILES ${NORVIK_DATA_SOURCES} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/calvex.res DESTINATION ${NORVIK_INSTALL_DATADIR})
install(FILES ${NORVIK_GESTURES} DESTINATION ${NORVIK_INSTALL_DATADIR}/gestures)

install(FILES ${PROJECT_SOURCE_DIR}/docs/man/nrvctl.1 ${PROJECT_SOURCE_DIR}/docs/man/touchsim.1
              ${PROJECT_SOURCE_DIR}/docs/man/touchtray.1 ${PROJECT_SOURCE_DIR}/docs/man/calvex.1
              ${PROJECT_SOURCE_DIR}/docs/man/calguard.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/devmgr.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# The service unit names devmgr where it is installed, so it is written at install time, when
# the prefix (also one given to cmake --install --prefix) is known.
install(CODE "
  set(NORVIK_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/systemd/norvik@.service.in\"
                 \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/norvik@.service\" @ONLY)
  message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/norvik@.service\")
")

# udev lets the service user open /dev/uinput (its own rules classify the devices made there).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/90-norvik-uinput.rules DESTINATION lib/udev/rules.d)
