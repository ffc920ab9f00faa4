local function run(n)
    local names = {}
    for i = 1, 256 do
        names[i] = ""
    end
    local total = 0
    for i = 0, n - 1 do
        local items = { i, i + 1, i + 2, i % 7 }
        local entry = { name = "item-" .. tostring(i), items = items }
        names[i % 256 + 1] = entry.name
        total = total + #entry.items + #names[(i * 7) % 256 + 1] + entry.items[4]
    end
    return total
end
print(run(1000000))
