# Compiles every data/models/<key>.eisnn into the core library as a byte array,
# so that retraining a model needs no code change, only a rebuild.
file(GLOB KOVRANT_MODEL_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/data/models/*.eisnn)
list(SORT KOVRANT_MODEL_FILES)
set(KOVRANT_EMBEDDED_MODELS_SOURCE ${CMAKE_BINARY_DIR}/generated/embedded_models.cc)
add_custom_command(
  OUTPUT ${KOVRANT_EMBEDDED_MODELS_SOURCE}
  COMMAND ${CMAKE_COMMAND}
          -DOUTPUT=${KOVRANT_EMBEDDED_MODELS_SOURCE}
          "-DMODEL_FILES=${KOVRANT_MODEL_FILES}"
          -P ${CMAKE_SOURCE_DIR}/cmake/WriteEmbeddedModels.cmake
  DEPENDS ${KOVRANT_MODEL_FILES} ${CMAKE_SOURCE_DIR}/cmake/WriteEmbeddedModels.cmake
  COMMENT "Embedding trained guesser networks"
  VERBATIM)
