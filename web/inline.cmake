# Makes one self-contained page: kerv.html with the style and the two
# scripts it links put inside it.
# Usage: cmake -DFOLDER=web -DMODULE=kerv-module.js -DOUT=kerv.html -P inline.cmake
file(READ ${FOLDER}/kerv.html page)

function(inline tag file open close)
  file(READ ${file} content)
  string(FIND "${content}" "</${close}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${file} holds </${close}, which would end the element it is put in")
  endif()
  string(FIND "${page}" "${tag}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "kerv.html lacks ${tag}")
  endif()
  string(REPLACE "${tag}" "${open}\n${content}</${close}>" page "${page}")
  set(page "${page}" PARENT_SCOPE)
endfunction()

inline("<link rel=\"stylesheet\" href=\"kerv.css\">" ${FOLDER}/kerv.css "<style>" style)
inline("<script src=\"kerv-module.js\"></script>" ${MODULE} "<script>" script)
inline("<script src=\"kerv.js\"></script>" ${FOLDER}/kerv.js "<script>" script)
file(WRITE ${OUT} "${page}")
