# Chooses the classifier model file, checks it at build time and embeds it with .incbin.
# Sets MEVO_CLASSIFIER_EMBED_SOURCE (the generated assembler file) for the library.
#
# Order of choice: the cache variable MEVO_CLASSIFIER_FILE; the package's trained model
# package/modules/lbpdetect/stable/classifier.dat; else a neutral model (all table entries 0)
# written during the build by classifier_model_tool. Dropping a trained classifier.dat into the
# package folder is the only change needed to ship it.

set(MEVO_CLASSIFIER_FILE "" CACHE FILEPATH
    "Classifier model file to embed (default: the package's classifier.dat, else a neutral model)")

set(_model_dir ${CMAKE_SOURCE_DIR}/package/modules/lbpdetect/stable)
set(_package_model ${_model_dir}/classifier.dat)
set(_gen_dir ${CMAKE_CURRENT_BINARY_DIR}/model)
file(MAKE_DIRECTORY ${_gen_dir})

add_executable(classifier_model_tool ${CMAKE_CURRENT_LIST_DIR}/classifier_model_tool.cc)
target_link_libraries(classifier_model_tool PRIVATE mevo_classify_model)

# A model file appearing in (or leaving) the package folder changes which file is embedded.
if(IS_DIRECTORY ${_model_dir})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_model_dir})
endif()

if(MEVO_CLASSIFIER_FILE)
  get_filename_component(_model ${MEVO_CLASSIFIER_FILE} ABSOLUTE)
  if(NOT EXISTS ${_model})
    message(FATAL_ERROR "MEVO_CLASSIFIER_FILE: ${_model} does not exist")
  endif()
  set(_model_kind "file ${_model}")
elseif(EXISTS ${_package_model})
  set(_model ${_package_model})
  set(_model_kind "package model ${_model}")
else()
  set(_model ${_gen_dir}/classifier_neutral.dat)
  set(_model_kind "neutral (untrained) model")
  add_custom_command(
    OUTPUT ${_model}
    COMMAND classifier_model_tool neutral ${_model}
    DEPENDS classifier_model_tool
    COMMENT "Writing the neutral classifier model"
    VERBATIM)
endif()
message(STATUS "Classifier model embedded: ${_model_kind}")

# The build stops here, with the tool's message, when the file is not a usable model.
set(_stamp ${_gen_dir}/classifier_model.checked)
add_custom_command(
  OUTPUT ${_stamp}
  COMMAND classifier_model_tool check ${_model}
  COMMAND ${CMAKE_COMMAND} -E touch ${_stamp}
  DEPENDS ${_model} classifier_model_tool
  COMMENT "Checking the classifier model"
  VERBATIM)

set(MEVO_CLASSIFIER_EMBED_PATH ${_model})
set(MEVO_CLASSIFIER_EMBED_SOURCE ${_gen_dir}/classifier_embed.S)
configure_file(${CMAKE_CURRENT_LIST_DIR}/classifier_embed.S.in ${MEVO_CLASSIFIER_EMBED_SOURCE}
               @ONLY)
set_source_files_properties(${MEVO_CLASSIFIER_EMBED_SOURCE} PROPERTIES
  OBJECT_DEPENDS "${_model};${_stamp}")
