local function count_primes(limit)
    local count = 0
    local n = 2
    while n < limit do
        local prime = true
        local d = 2
        while d * d <= n do
            if n % d == 0 then
                prime = false
                break
            end
            d = d + 1
        end
        if prime then
            count = count + 1
        end
        n = n + 1
    end
    return count
end
print(count_primes(1000000))
