# Lays out the reference extension for both browser families from one source and packs each:
#   cmake -DSOURCE_DIR=client/extension -DMODULE=client/js/npcorvane.js -DOUT_DIR=build/extension
#         -DVERSION=0.1.0 -DHOST_NAME=org.npcorvane.host -DFIREFOX_ID=... -P build_extension.cmake
# gives OUT_DIR/{chromium,firefox}/ (unpacked), OUT_DIR/npcorvane-chromium.zip and
# OUT_DIR/npcorvane-firefox.xpi (unsigned: signing is the publisher's step).
cmake_minimum_required(VERSION 3.25)

set(files background.js content.js origin.js popup.html popup.js)
file(READ ${SOURCE_DIR}/manifest.json common)
string(REPLACE "@VERSION@" "${VERSION}" common "${common}")
file(READ ${SOURCE_DIR}/key.pub key)
string(STRIP "${key}" key)

foreach(browser IN ITEMS chromium firefox)
  set(dir ${OUT_DIR}/${browser})
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
  foreach(name IN LISTS files)
    file(COPY_FILE ${SOURCE_DIR}/${name} ${dir}/${name})
  endforeach()
  file(COPY_FILE ${MODULE} ${dir}/npcorvane.js)
  file(WRITE ${dir}/config.js "// Made by the build: the native host this extension starts.\nexport const HOST_NAME = '${HOST_NAME}';\n")
  set(manifest "${common}")
  set(packed ${files} npcorvane.js config.js manifest.json)
  if(browser STREQUAL "chromium")
    # The key fixes the extension's ID wherever it is loaded, unpacked ones included.
    string(JSON manifest SET "${manifest}" key "\"${key}\"")
    string(JSON manifest SET "${manifest}" minimum_chrome_version "\"116\"")
    string(JSON manifest SET "${manifest}" background "{\"service_worker\": \"background.js\", \"type\": \"module\"}")
    string(JSON manifest SET "${manifest}" storage "{\"managed_schema\": \"managed_schema.json\"}")
    file(COPY_FILE ${SOURCE_DIR}/managed_schema.json ${dir}/managed_schema.json)
    list(APPEND packed managed_schema.json)
    set(archive ${OUT_DIR}/npcorvane-chromium.zip)
  else()
    string(JSON manifest SET "${manifest}" background "{\"scripts\": [\"background.js\"], \"type\": \"module\"}")
    string(JSON manifest SET "${manifest}" browser_specific_settings
           "{\"gecko\": {\"id\": \"${FIREFOX_ID}\", \"strict_min_version\": \"128.0\"}}")
    set(archive ${OUT_DIR}/npcorvane-firefox.xpi)
  endif()
  file(WRITE ${dir}/manifest.json "${manifest}\n")
  # Fixed times, so the same source packs to the same bytes.
  file(REMOVE ${archive})
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${archive} --format=zip "--mtime=2000-01-01 00:00:00 UTC" -- ${packed}
                  WORKING_DIRECTORY ${dir} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot pack ${archive}")
  endif()
endforeach()
