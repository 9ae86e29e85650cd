# Warnings for every target of the project; errors too where KV_WERROR is on.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
                    -Wimplicit-fallthrough)
if(KV_WERROR)
  add_compile_options(-Werror)
endif()

# The product's own folders call this first: every narrowing or sign change
# is spelled out, so that each cast in the code is required rather than
# decoration.
macro(kv_product_warnings)
  add_compile_options(-Wconversion -Wsign-conversion)
endmacro()
