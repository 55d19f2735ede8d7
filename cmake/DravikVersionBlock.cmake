# dravik_add_version_block(<target> ...): placeholder until the version block exists.
function(dravik_add_version_block target)
endfunction()
