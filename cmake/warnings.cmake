# Warnings for every target of the project; errors too where KV_WERROR is on.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
                    -Wimplicit-fallthrough)
if(KV_WERROR)
  add_compile_options(-Werror)
endif()
