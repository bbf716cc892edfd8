# The window program ImgCast (Qt 6 Widgets): the main window, the progress window, the preview and
# the Send/Get button. The window classes form an object library, so the tests and the screenshot
# tool link exactly the code the program runs, resources included.
find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets)

add_library(imgcast_window OBJECT
    ${CMAKE_CURRENT_LIST_DIR}/dialog_builder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/image_tool_app.cpp
    ${CMAKE_CURRENT_LIST_DIR}/image_tool_dlg.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ip_address_ctrl.cpp
    ${CMAKE_CURRENT_LIST_DIR}/transfer_progress_dlg.cpp
    ${CMAKE_CURRENT_LIST_DIR}/window_templates.cpp
    ${PROJECT_SOURCE_DIR}/resources/imgcast.qrc)
set_target_properties(imgcast_window PROPERTIES AUTOMOC ON AUTORCC ON)
target_compile_definitions(imgcast_window PUBLIC IMGCAST_VERSION="${PROJECT_VERSION}")
# The link's targets are defined after this folder; the names resolve when the build is generated.
target_link_libraries(imgcast_window PUBLIC
    Qt6::Widgets
    Threads::Threads
    $<TARGET_NAME_IF_EXISTS:switcherlink>
    $<TARGET_NAME_IF_EXISTS:picture>
    $<TARGET_NAME_IF_EXISTS:frame>
    ${CMAKE_DL_LIBS})

add_executable(ImgCast ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(ImgCast PRIVATE imgcast_window)
# ImgPort is loaded by name at run time from the program's own folder; the run path says the
# same to the dynamic loader.
set_target_properties(ImgCast PROPERTIES
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN")
if(TARGET ImgPort)
    add_dependencies(ImgCast ImgPort)
endif()

# Saves pictures of the main window (as started, and with a picture dropped on it) under a real
# display server; scripts/screenshot runs it under Xvfb.
add_executable(imgcast-screenshot ${CMAKE_CURRENT_LIST_DIR}/screenshot_main.cpp)
target_link_libraries(imgcast-screenshot PRIVATE imgcast_window)
set_target_properties(imgcast-screenshot PROPERTIES BUILD_RPATH "$ORIGIN")
if(TARGET ImgPort)
    add_dependencies(imgcast-screenshot ImgPort)
endif()

# Installation: the program with the library beside it, a desktop entry and the icon.
include(GNUInstallDirs)
install(TARGETS ImgCast RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET ImgPort)
    install(TARGETS ImgPort LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/resources/imgcast.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/icon128.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps RENAME imgcast.png)
install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/icon128-256.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps RENAME imgcast.png)
