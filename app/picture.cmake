# The toolkit-free picture state: binding ImgPort, loading pictures into padded planes, building a
# picture from a received frame, saving through the BMP saver. Shared by ImgCast and imgcast-cli.
add_library(picture STATIC ${CMAKE_CURRENT_LIST_DIR}/picture.cpp)
target_link_libraries(picture PUBLIC ${CMAKE_DL_LIBS})
if(TARGET frame)
    target_link_libraries(picture PUBLIC frame)
endif()
