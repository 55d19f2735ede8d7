# dravik_add_resources(<target> ...): placeholder until the resource registry exists.
function(dravik_add_resources target)
endfunction()
