# Copies each of FILES from FROM to TO when FROM has it; says which are missing.
foreach(file ${FILES})
    if(EXISTS "${FROM}/${file}")
        file(COPY "${FROM}/${file}" DESTINATION "${TO}")
    else()
        message(STATUS "${file} is not built in ${FROM}: a tracker of this build captures no setup of that bitness")
    endif()
endforeach()
